#include "addevent.h"

#include "eventrow.h"

#include "common/clock.h"
#include "common/messages.h"
#include "recorder/recorder.h"
#include "scheduler/scheduler.h"
#include "settings/autoname.h"
#include "settings/config.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace {

const QString Caption = QStringLiteral("Orvanta");
const QString TimeFormat = QStringLiteral("HH:mm:ss");

enum RepeatChoice { DaysOfWeek = 0, FixedDate = 1, Daily = 2 };
enum NotebookPage { ByDays = 0, ByDate = 1 };

void showInformation(const QString& text) {
    messages().show(text, Caption, MessageIcon::Information, MessageButtons::Ok);
}

bool hasControlCharacter(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

/// The date format with four-digit years: a two-digit year typed into the field could land
/// in the wrong century.
QString fullYearFormat(QString format) {
    if (!format.contains(QStringLiteral("yyyy")))
        format.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
    return format;
}

} // namespace

Taddevent::Taddevent(QTreeWidget& list, TScheduler& engine, TRecorder& recorder, Clock& clock,
                     QWidget* parent)
    : QDialog(parent), m_list(list), m_engine(engine), m_recorder(recorder), m_clock(clock) {
    setWindowTitle(QStringLiteral("Add Event"));

    auto* page = new QWidget;
    auto* pageLayout = new QVBoxLayout(page);
    auto* form = new QFormLayout;
    pageLayout->addLayout(form);

    e_name = new QLineEdit;
    form->addRow(QStringLiteral("Event Name:"), e_name);

    e_starttime = new QTimeEdit(QTime(0, 0, 0));
    e_starttime->setDisplayFormat(TimeFormat);
    e_stoptime = new QTimeEdit(QTime(1, 0, 0));
    e_stoptime->setDisplayFormat(TimeFormat);
    form->addRow(QStringLiteral("Start Time:"), e_starttime);
    form->addRow(QStringLiteral("Stop Time:"), e_stoptime);

    autobutton = new QRadioButton(QStringLiteral("Auto Name"));
    manualbutton = new QRadioButton(QStringLiteral("Same as Event Name"));
    autobutton->setChecked(true);
    auto* names = new QButtonGroup(this);
    names->addButton(autobutton);
    names->addButton(manualbutton);
    auto* nameChoice = new QHBoxLayout;
    nameChoice->addWidget(autobutton);
    nameChoice->addWidget(manualbutton);
    nameChoice->addStretch(1);
    form->addRow(QStringLiteral("File Name:"), nameChoice);

    e_rep = new QComboBox;
    e_rep->addItems({QStringLiteral("Select days of week"), QStringLiteral("Fixed date"),
                     QStringLiteral("Daily")});
    form->addRow(QStringLiteral("Repeat:"), e_rep);

    auto* daysGroup = new QGroupBox(QStringLiteral("  Check Days of week  "));
    auto* daysLayout = new QHBoxLayout(daysGroup);
    const char* const dayTexts[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    for (size_t i = 0; i < dayBoxes.size(); ++i) {
        dayBoxes[i] = new QCheckBox(QString::fromLatin1(dayTexts[i]));
        daysLayout->addWidget(dayBoxes[i]);
    }
    daysLayout->addStretch(1);
    pon = dayBoxes[0];
    vtor = dayBoxes[1];
    sred = dayBoxes[2];
    cht = dayBoxes[3];
    ptn = dayBoxes[4];
    sub = dayBoxes[5];
    voskr = dayBoxes[6];
    // The weekend stands out in red; only the text colour changes, so the boxes keep the
    // style's look.
    for (QCheckBox* weekend : {sub, voskr})
        weekend->setStyleSheet(QStringLiteral("QCheckBox { color: red; }"));

    auto* dateGroup = new QGroupBox(QStringLiteral("  Select fixed date  "));
    auto* dateLayout = new QHBoxLayout(dateGroup);
    e_fixeddate = new QDateTimeEdit;
    e_fixeddate->setCalendarPopup(true);
    // The field holds the start moment of a fixed-date event, but only the date is the
    // user's to pick: the time comes from the start time above.
    e_fixeddate->setDisplayFormat(fullYearFormat(QLocale().dateFormat(QLocale::ShortFormat)));
    dateLayout->addWidget(e_fixeddate);
    dateLayout->addStretch(1);

    Notebook1 = new QStackedWidget;
    Notebook1->addWidget(daysGroup);
    Notebook1->addWidget(dateGroup);
    pageLayout->addWidget(Notebook1);

    e_task = new QGroupBox(QStringLiteral("Additional Task  "));
    e_task->setCheckable(true);
    e_task->setChecked(false);
    auto* taskLayout = new QVBoxLayout(e_task);
    appLabel = new QLabel(QStringLiteral("Run this application (by default your web browser):"));
    e_app = new QLineEdit;
    appLabel->setBuddy(e_app);
    paramLabel = new QLabel(QStringLiteral(
        "with command line parameters (for example you may pass URL to web browser)"));
    paramLabel->setWordWrap(true);
    e_param = new QLineEdit;
    paramLabel->setBuddy(e_param);
    testButton = new QPushButton(QStringLiteral("Test additional task"));
    taskLayout->addWidget(appLabel);
    taskLayout->addWidget(e_app);
    taskLayout->addWidget(paramLabel);
    taskLayout->addWidget(e_param);
    auto* testRow = new QHBoxLayout;
    testRow->addStretch(1);
    testRow->addWidget(testButton);
    taskLayout->addLayout(testRow);
    pageLayout->addWidget(e_task);
    pageLayout->addStretch(1);

    auto* tabs = new QTabWidget;
    tabs->addTab(page, QStringLiteral("Event Settings"));

    Ok_Button = new QPushButton(QStringLiteral("&Ok"));
    Ok_Button->setDefault(true);
    Cancel_Button = new QPushButton(QStringLiteral("&Cancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Ok_Button);
    buttons->addWidget(Cancel_Button);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addLayout(buttons);

    connect(e_rep, &QComboBox::currentIndexChanged, this, [this] { e_repChange(); });
    // Also for changes made by the program: the group box only re-enables children that
    // were not disabled explicitly, as e_taskClick does.
    connect(e_task, &QGroupBox::toggled, this, [this] { e_taskClick(); });
    connect(testButton, &QPushButton::clicked, this, &Taddevent::testButtonClick);
    connect(Ok_Button, &QPushButton::clicked, this, &Taddevent::Ok_ButtonClick);
    connect(Cancel_Button, &QPushButton::clicked, this, &QDialog::reject);
}

void Taddevent::setMode(Mode mode, int row) {
    m_mode = mode;
    m_row = mode == Mode::Edit ? row : -1;
    setWindowTitle(mode == Mode::Edit ? QStringLiteral("Edit Event") : QStringLiteral("Add Event"));
}

void Taddevent::FormShow() {
    const QDate todayDate = datetime::toQDateTime(today()).date();
    const int slot = m_row + 1;
    if (m_mode == Mode::Edit && slot >= 1 && slot <= config.numevents && slot <= MaxEvents) {
        const TRecEvent& ev = events[static_cast<size_t>(slot)];
        e_name->setText(ev.name);
        e_starttime->setTime(timeOfDay(ev.start));
        e_stoptime->setTime(timeOfDay(ev.stop));
        e_param->setText(ev.url);
        e_app->setText(ev.appname);
        e_task->setChecked(ev.task);
        (ev.filename.isEmpty() ? autobutton : manualbutton)->setChecked(true);
        // The boxes keep the stored days in every mode, so that an event saved unchanged
        // keeps them; "Daily" then ticks all of them.
        for (size_t i = 0; i < dayBoxes.size(); ++i)
            dayBoxes[i]->setChecked(ev.days[i]);
        const int choice = ev.rep_mode >= DaysOfWeek && ev.rep_mode <= Daily ? ev.rep_mode : 0;
        e_rep->setCurrentIndex(choice);
        e_repChange();
        e_fixeddate->setDateTime(datetime::toQDateTime(ev.startdate));
    } else {
        // Add mode keeps the form's times (00:00:00 and 01:00:00) and takes today's date.
        e_fixeddate->setDateTime(QDateTime(todayDate, QTime(0, 0)));
        e_rep->setCurrentIndex(DaysOfWeek);
        Notebook1->setCurrentIndex(ByDays);
        e_param->clear();
        e_app->setText(defaultBrowser ? defaultBrowser() : QString());
        e_task->setChecked(false);
        autobutton->setChecked(true);
        for (QCheckBox* box : dayBoxes)
            box->setChecked(false);
    }
    e_taskClick();
}

void Taddevent::e_repChange() {
    const int choice = e_rep->currentIndex();
    Notebook1->setCurrentIndex(choice == FixedDate ? ByDate : ByDays);
    if (choice == Daily) {
        for (QCheckBox* box : dayBoxes)
            box->setChecked(true);
    }
}

void Taddevent::e_taskClick() {
    const bool on = e_task->isChecked();
    for (QWidget* widget :
         std::initializer_list<QWidget*>{testButton, e_app, e_param, appLabel, paramLabel})
        widget->setEnabled(on);
}

void Taddevent::testButtonClick() {
    m_engine.openURL(e_app->text(), e_param->text());
}

void Taddevent::Ok_ButtonClick() {
    if (!inputAcceptable())
        return;

    if (m_mode == Mode::Add) {
        // The scheduler window refuses to open the editor for a full table; this only guards
        // the table itself.
        if (config.numevents >= MaxEvents) {
            showInformation(QString::fromLatin1(ScheduleFull));
            return;
        }
        config.numevents = std::max(config.numevents, 0) + 1;
        TRecEvent& ev = events[static_cast<size_t>(config.numevents)];
        init(ev);
        updateinfo(ev, false);
    } else {
        const int slot = m_row + 1;
        if (slot < 1 || slot > config.numevents || slot > MaxEvents) {
            reject();
            return;
        }
        TRecEvent edited;
        init(edited);
        TRecEvent& ev = events[static_cast<size_t>(slot)];
        // The event that is recording goes on recording; a changed stop time applies to it.
        if (m_recorder.eventactive && m_recorder.currentevent == slot)
            edited.stopdate = runningStopDate(ev, edited);
        ev = edited;
        updateinfo(ev, true);
    }
    accept();
}

void Taddevent::init(TRecEvent& ev) const {
    ev.name = e_name->text();
    ev.start = dayFraction(e_starttime->time());
    ev.stop = dayFraction(e_stoptime->time());
    ev.rep_mode = e_rep->currentIndex();
    ev.canceled = false;
    ev.url = e_param->text();
    ev.appname = e_app->text();
    ev.task = e_task->isChecked();
    ev.filename = autobutton->isChecked() ? QString() : e_name->text();
    const QDate date = e_fixeddate->date();
    ev.startdate = datetime::encode(date.year(), date.month(), date.day());
    ev.stopdate = ev.startdate;
    for (size_t i = 0; i < dayBoxes.size(); ++i)
        ev.days[i] = dayBoxes[i]->isChecked();
    ev.nextday = e_stoptime->time() < e_starttime->time();
    if (ev.nextday)
        ev.stopdate += 1.0;
    if (ev.rep_mode == FixedDate) {
        ev.startdate += ev.start;
        ev.stopdate += ev.stop;
    }
}

void Taddevent::updateinfo(const TRecEvent& ev, bool up) {
    if (up) {
        const QStringList texts = eventRowTexts(ev);
        QTreeWidgetItem* item = m_list.topLevelItem(m_row);
        if (!item)
            return;
        for (int column = 0; column < texts.size(); ++column)
            item->setText(column, texts[column]);
    } else {
        m_list.addTopLevelItem(makeEventRow(ev));
    }
}

void Taddevent::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Coming back from being minimised must not undo what the user has typed.
    if (!event->spontaneous())
        FormShow();
}

bool Taddevent::inputAcceptable() {
    const QString name = e_name->text();
    // A name of blanks only would leave an empty-looking row and, as a file name, a file
    // that is hard to find.
    if (name.trimmed().isEmpty()) {
        showInformation(QStringLiteral("Please enter event name."));
        e_name->setFocus();
        return false;
    }
    if (e_rep->currentIndex() == DaysOfWeek) {
        bool anyDay = false;
        for (const QCheckBox* box : dayBoxes)
            anyDay = anyDay || box->isChecked();
        if (!anyDay) {
            showInformation(QStringLiteral("Please select at least one day of week."));
            return false;
        }
    }
    // The recorder puts a name used as the file name straight into the output folder's
    // path, so a separator would write elsewhere; the other symbols are refused as they are
    // in naming templates, so recordings can be copied to any file system.
    if (manualbutton->isChecked() && (!checkexpression(name) || hasControlCharacter(name))) {
        showInformation(QStringLiteral(
            "The event name is also used as the file name, so it must not contain any of "
            "these symbols: /,\\,:,*,?,\",<,>,|. Please correct the name or choose "
            "\"Auto Name\"."));
        e_name->setFocus();
        return false;
    }
    return true;
}

TDateTime Taddevent::today() const {
    return std::floor(m_clock.now());
}

TDateTime Taddevent::runningStopDate(const TRecEvent& before, const TRecEvent& after) const {
    const TDateTime day = today();
    // Past midnight, an overnight recording has already reached the day its stop moment
    // belongs to, so the new stop time applies today rather than a day later.
    if (before.nextday && std::floor(before.stopdate) == day)
        return day + after.stop;
    return day + after.stop + (after.nextday ? 1.0 : 0.0);
}
