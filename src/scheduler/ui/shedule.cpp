#include "shedule.h"

#include "addevent.h"
#include "eventrow.h"

#include "common/clock.h"
#include "common/messages.h"
#include "recorder/recorder.h"
#include "settings/config.h"
#include "settings/desktop.h"
#include "settings/events.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDrag>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString Caption = QStringLiteral("Orvanta");
constexpr std::array<int, 6> FormWidths = {170, 70, 70, 86, 80, 75};

/// The number of events in use, whatever a damaged setting says.
int eventCount() {
    return std::clamp(config.numevents, 0, MaxEvents);
}

/// The list of events. Moving rows by drag and drop goes through the window, which moves
/// the event in the table too; the Delete key deletes the selected event.
class ScheduleTree final : public QTreeWidget {
public:
    explicit ScheduleTree(Tshedule& owner) : m_owner(owner) {}

protected:
    void startDrag(Qt::DropActions) override {
        const QModelIndexList indexes = selectedIndexes();
        if (indexes.isEmpty())
            return;
        // The engine may select another row while the drag is under way (captured blocks
        // keep arriving), so the dragged row is remembered rather than read at the drop.
        m_dragged = indexes.front();
        auto* drag = new QDrag(this);
        drag->setMimeData(model()->mimeData(indexes));
        drag->setPixmap(
            viewport()->grab(visualRect(indexes.front()).united(visualRect(indexes.back()))));
        // The drop handler has already moved the row by the time exec() returns, so nothing
        // may be removed here, as the base class would do after a move.
        drag->exec(Qt::MoveAction);
        m_dragged = QPersistentModelIndex();
    }

    void dragEnterEvent(QDragEnterEvent* event) override {
        if (event->source() == this)
            event->acceptProposedAction();
        else
            event->ignore();
    }

    void dragMoveEvent(QDragMoveEvent* event) override {
        // The base class scrolls near the edges and draws the drop indicator; whether the
        // drop is welcome is decided here.
        QTreeWidget::dragMoveEvent(event);
        if (event->source() == this && m_owner.ListView1DragOver(event->position().toPoint())) {
            event->setDropAction(Qt::MoveAction);
            event->accept();
        } else {
            event->ignore();
        }
    }

    void dropEvent(QDropEvent* event) override {
        const QPoint pos = event->position().toPoint();
        const int source = m_dragged.isValid() ? m_dragged.row() : -1;
        if (event->source() != this || !m_owner.ListView1DragOver(pos) || source < 0) {
            event->ignore();
            return;
        }
        const int target = indexOfTopLevelItem(itemAt(pos));
        m_owner.ListView1DragDrop(source, target);
        event->setDropAction(Qt::MoveAction);
        event->accept();
        stopAutoScroll();
        setState(NoState);
        viewport()->update();
    }

    void keyPressEvent(QKeyEvent* event) override {
        if (m_owner.ListView1KeyDown(event->key()))
            event->accept();
        else
            QTreeWidget::keyPressEvent(event);
    }

private:
    Tshedule& m_owner;
    QPersistentModelIndex m_dragged;
};

} // namespace

Tshedule::Tshedule(TScheduler& engine, TRecorder& recorder, Clock& clock, QWidget* parent)
    : QWidget(parent, Qt::Window), m_engine(engine), m_recorder(recorder), m_clock(clock) {
    setWindowTitle(QStringLiteral("Recording Schedule"));
    defaultBrowser = [] { return getdefaultbrowser(); };
    runEditor = [](Taddevent& editor) { return editor.exec(); };

    auto* tree = new ScheduleTree(*this);
    ListView1 = tree;
    ListView1->setColumnCount(ScheduleColumnCount);
    ListView1->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Start time"),
                                QStringLiteral("End time"), QStringLiteral("Repeat"),
                                QStringLiteral("File Name"), QStringLiteral("Status")});
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setItemsExpandable(false);
    ListView1->setAlternatingRowColors(true);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setDragDropMode(QAbstractItemView::InternalMove);
    ListView1->setDefaultDropAction(Qt::MoveAction);
    ListView1->setDropIndicatorShown(true);
    ListView1->setAllColumnsShowFocus(true);
    for (int column = 0; column < ScheduleColumnCount; ++column)
        ListView1->setColumnWidth(column, FormWidths[static_cast<size_t>(column)]);

    addeventbutton = new QPushButton(QStringLiteral("&Add Event"));
    editeventbutton = new QPushButton(QStringLiteral("&Edit Event"));
    cloneeventbutton = new QPushButton(QStringLiteral("&Clone Event"));
    deleventbutton = new QPushButton(QStringLiteral("&Delete Event"));
    timenable = new QCheckBox(QStringLiteral("Enable Scheduler"));
    OkButton = new QPushButton(QStringLiteral("&Ok"));

    auto* commands = new QVBoxLayout;
    commands->addWidget(addeventbutton);
    commands->addWidget(editeventbutton);
    commands->addWidget(cloneeventbutton);
    commands->addWidget(deleventbutton);
    commands->addStretch(1);
    auto* top = new QHBoxLayout;
    top->addWidget(ListView1, 1);
    top->addLayout(commands);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(timenable);
    bottom->addStretch(1);
    bottom->addWidget(OkButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addLayout(bottom);
    resize(720, 360);

    connect(addeventbutton, &QPushButton::clicked, this, &Tshedule::addeventbuttonClick);
    connect(editeventbutton, &QPushButton::clicked, this, &Tshedule::editeventbuttonClick);
    connect(cloneeventbutton, &QPushButton::clicked, this, &Tshedule::cloneeventbuttonClick);
    connect(deleventbutton, &QPushButton::clicked, this, &Tshedule::deleventbuttonClick);
    connect(timenable, &QCheckBox::clicked, this, &Tshedule::timenableClick);
    connect(OkButton, &QPushButton::clicked, this, &Tshedule::OkButtonClick);
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, &Tshedule::ListView1Change);
    connect(ListView1, &QTreeWidget::itemDoubleClicked, this, &Tshedule::ListView1DblClick);

    ListView1Change();
    engine.setList(this);
}

// The engine may be gone by now (the owner detaches the list first), so it is not touched.
Tshedule::~Tshedule() = default;

void Tshedule::FormCreate() {
    timenable->setChecked(config.scheduler);
    // A stored width too small to see would hide its column for good, one wider than the
    // screen would push the others out of reach; the form's width is kept instead. The sixth
    // column always keeps its form width.
    const int smallest = ListView1->header()->minimumSectionSize();
    const int widest = screen() ? screen()->availableGeometry().width() : QWIDGETSIZE_MAX;
    for (size_t column = 0; column < 5; ++column) {
        const int width = config.schedulercolumns[column];
        if (width >= smallest && width <= widest)
            ListView1->setColumnWidth(static_cast<int>(column), width);
    }
}

std::array<int32_t, 6> Tshedule::columnWidths() const {
    std::array<int32_t, 6> widths{};
    for (size_t column = 0; column < widths.size(); ++column)
        widths[column] = ListView1->columnWidth(static_cast<int>(column));
    return widths;
}

void Tshedule::FormShow() {
    ListView1->clear();
    const int count = eventCount();
    for (int slot = 1; slot <= count; ++slot) {
        events[static_cast<size_t>(slot)].canceled = false;
        appendRow(slot);
    }
    ListView1Change();
}

void Tshedule::OkButtonClick() {
    if (showinfo)
        showinfo();
    hide();
}

void Tshedule::timenableClick() {
    config.scheduler = timenable->isChecked();
}

void Tshedule::addeventbuttonClick() {
    if (roomForAnother())
        openEditor(-1);
}

void Tshedule::editeventbuttonClick() {
    const int row = selectedRow();
    if (row >= 0)
        openEditor(row);
}

void Tshedule::cloneeventbuttonClick() {
    const int row = selectedRow();
    if (row < 0 || row >= eventCount())
        return;
    if (!roomForAnother())
        return;
    config.numevents = eventCount() + 1;
    events[static_cast<size_t>(config.numevents)] = events[static_cast<size_t>(row + 1)];
    FormShow();
    selectRow(row);
}

void Tshedule::deleventbuttonClick() {
    const int row = selectedRow();
    const int count = eventCount();
    if (row < 0 || row >= count)
        return;
    const int slot = row + 1;
    for (int i = slot; i < count; ++i)
        events[static_cast<size_t>(i)] = events[static_cast<size_t>(i + 1)];
    events[static_cast<size_t>(count)] = TRecEvent{};
    config.numevents = count - 1;

    if (m_recorder.eventactive) {
        if (m_recorder.currentevent == slot) {
            // The recording goes on, but no event is left to end it: the user stops it.
            m_recorder.eventactive = false;
            m_recorder.currentevent = -1;
        } else if (m_recorder.currentevent > slot) {
            --m_recorder.currentevent;
        }
    }

    delete ListView1->takeTopLevelItem(row);
    if (row < ListView1->topLevelItemCount())
        selectRow(row);
    else if (ListView1->topLevelItemCount() > 0)
        selectRow(ListView1->topLevelItemCount() - 1);
    ListView1Change();
}

void Tshedule::ListView1DblClick() {
    editeventbuttonClick();
}

bool Tshedule::ListView1KeyDown(int key) {
    if (key != Qt::Key_Delete)
        return false;
    deleventbuttonClick();
    return true;
}

void Tshedule::ListView1Change() {
    const bool selected = selectedRow() >= 0;
    editeventbutton->setEnabled(selected);
    deleventbutton->setEnabled(selected);
    cloneeventbutton->setEnabled(selected);
}

bool Tshedule::ListView1DragOver(const QPoint& pos) const {
    return ListView1->itemAt(pos) != nullptr;
}

bool Tshedule::ListView1DragDrop(int source, int target) {
    const int count = std::min(eventCount(), ListView1->topLevelItemCount());
    if (source < 0 || target < 0 || source >= count || target >= count)
        return false;
    if (source != target) {
        moveevent(source + 1, target + 1);
        // The row itself moves, so the engine's status text goes with it.
        QTreeWidgetItem* item = ListView1->takeTopLevelItem(source);
        ListView1->insertTopLevelItem(target, item);
    }
    selectRow(target);
    return true;
}

void Tshedule::moveevent(int32_t from, int32_t topos) {
    const int count = eventCount();
    if (from < 1 || topos < 1 || from > count || topos > count || from == topos)
        return;
    const TRecEvent kept = events[static_cast<size_t>(from)];
    if (topos > from) {
        for (int i = from; i < topos; ++i)
            events[static_cast<size_t>(i)] = events[static_cast<size_t>(i + 1)];
    } else {
        for (int i = from; i > topos; --i)
            events[static_cast<size_t>(i)] = events[static_cast<size_t>(i - 1)];
    }
    events[static_cast<size_t>(topos)] = kept;

    if (m_recorder.eventactive) {
        int& current = m_recorder.currentevent;
        if (current == from)
            current = topos;
        else if (from < topos && current > from && current <= topos)
            --current;
        else if (topos < from && current >= topos && current < from)
            ++current;
    }
}

int Tshedule::selectedRow() const {
    const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
    return selected.isEmpty() ? -1 : ListView1->indexOfTopLevelItem(selected.front());
}

int Tshedule::rowCount() const {
    return ListView1->topLevelItemCount();
}

void Tshedule::selectRow(int row) {
    QTreeWidgetItem* item = ListView1->topLevelItem(row);
    if (!item)
        return;
    ListView1->setCurrentItem(item);
    item->setSelected(true);
    ListView1->scrollToItem(item);
}

void Tshedule::setRowStatus(int row, const QString& status) {
    if (QTreeWidgetItem* item = ListView1->topLevelItem(row))
        item->setText(StatusColumn, status);
}

void Tshedule::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A spontaneous show is the window coming back from being minimised; the list, with the
    // engine's status texts, stays as it is then.
    if (!event->spontaneous())
        FormShow();
}

void Tshedule::closeEvent(QCloseEvent* event) {
    // Closing by the title bar hides the window as "&Ok" does, and refreshes the main
    // window's indicators too, so they never show a stale "Enable Scheduler".
    if (showinfo)
        showinfo();
    event->accept();
}

void Tshedule::openEditor(int row) {
    QPointer<Taddevent> editor = new Taddevent(*ListView1, m_engine, m_recorder, m_clock, this);
    editor->defaultBrowser = defaultBrowser;
    editor->setMode(row < 0 ? Taddevent::Mode::Add : Taddevent::Mode::Edit, row);
    if (runEditor)
        runEditor(*editor);
    delete editor;
    ListView1Change();
}

bool Tshedule::roomForAnother() const {
    if (eventCount() < MaxEvents)
        return true;
    messages().show(QString::fromLatin1(Taddevent::ScheduleFull), Caption, MessageIcon::Information,
                    MessageButtons::Ok);
    return false;
}

void Tshedule::appendRow(int slot) {
    ListView1->addTopLevelItem(makeEventRow(events[static_cast<size_t>(slot)]));
}
