#include "recordingsmodel.h"

#include "common/filename.h"

#include <QApplication>
#include <QDrag>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QMimeData>
#include <QPainter>
#include <QResizeEvent>
#include <QStyledItemDelegate>
#include <QUrl>

namespace {

const char* const ColumnTitles[BrowserColumnCount] = {"Filename", "Title", "Artist", "Duration",
                                                      "Modified"};

} // namespace

int RecordingsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int RecordingsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : BrowserColumnCount;
}

QVariant RecordingsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const TMCRS& r = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (static_cast<BrowserColumn>(index.column())) {
        case BrowserColumn::Filename:
            // The edit keeps the bytes of a name that is not UTF-8 where it is not changed.
            return role == Qt::EditRole ? r.audiofile : displayFileName(r.audiofile);
        case BrowserColumn::Title:
            return r.title;
        case BrowserColumn::Artist:
            return r.artist;
        case BrowserColumn::Duration:
            return durationText(r.duration);
        case BrowserColumn::Modified:
            return QLocale().toString(datetime::toQDateTime(r.modified), QLocale::ShortFormat);
        }
        return {};
    case Qt::DecorationRole:
        return index.column() == 0 ? QVariant(iconFor(r.audiofile)) : QVariant();
    case Qt::BackgroundRole:
        // Every other row is shaded, starting with the first.
        return index.row() % 2 == 0 ? QVariant(QColor(245, 245, 245)) : QVariant();
    case Qt::ToolTipRole:
        return index.column() == 0 ? QVariant(displayFileName(r.audiofile)) : QVariant();
    default:
        return {};
    }
}

QVariant RecordingsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < BrowserColumnCount)
        return QString::fromLatin1(ColumnTitles[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags RecordingsModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags result = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == 0 && (!canEdit || canEdit(index.row())))
        result |= Qt::ItemIsEditable;
    return result;
}

bool RecordingsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.column() != 0)
        return false;
    if (canEdit && !canEdit(index.row()))
        return false;
    return renamed && renamed(index.row(), value.toString());
}

void RecordingsModel::setRows(std::vector<TMCRS> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void RecordingsModel::removeRow(int row) {
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

void RecordingsModel::rowChanged(int row) {
    emit dataChanged(index(row, 0), index(row, BrowserColumnCount - 1));
}

QIcon RecordingsModel::iconFor(const QString& fileName) const {
    const QString extension = lowerExtension(fileName);
    auto found = m_icons.constFind(extension);
    if (found != m_icons.cend())
        return *found;
    static const QFileIconProvider provider;
    // The provider reads the type from the name; the file itself is never opened.
    QIcon icon = provider.icon(QFileInfo(fileName));
    if (icon.isNull())
        icon = provider.icon(QFileIconProvider::File);
    m_icons.insert(extension, icon);
    return icon;
}

namespace {

// Rows a little taller than the text, as the list was designed (20 pixels, times 1.1).
class RowHeightDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max(size.height(), 22));
        return size;
    }
};

} // namespace

RecordingsView::RecordingsView(QWidget* parent) : QTreeView(parent) {
    setItemDelegate(new RowHeightDelegate(this));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(true);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
}

void RecordingsView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete && state() != QAbstractItemView::EditingState) {
        emit deletePressed();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void RecordingsView::mousePressEvent(QMouseEvent* event) {
    m_dragPoint = event->position().toPoint();
    QTreeView::mousePressEvent(event);
}

void RecordingsView::mouseMoveEvent(QMouseEvent* event) {
    const Qt::MouseButtons buttons = event->buttons();
    const bool oneButton = buttons == Qt::LeftButton || buttons == Qt::RightButton;
    const QPoint delta = event->position().toPoint() - m_dragPoint;
    if (oneButton && event->modifiers() == Qt::NoModifier &&
        (std::abs(delta.x()) >= 10 || std::abs(delta.y()) >= 10) && dragFiles &&
        state() != QAbstractItemView::EditingState) {
        const QStringList files = dragFiles();
        if (!files.isEmpty()) {
            QList<QUrl> urls;
            // From the bytes: QUrl::fromLocalFile would write a name that is not UTF-8 with
            // "?" in place of those bytes.
            for (const QString& file : files)
                urls.append(
                    QUrl::fromEncoded("file://" + fileNameBytes(file).toPercentEncoding("/")));
            auto* mime = new QMimeData;
            mime->setUrls(urls);
            auto* drag = new QDrag(this);
            drag->setMimeData(mime);
            drag->exec(Qt::CopyAction);
            return;
        }
    }
    QTreeView::mouseMoveEvent(event);
}

void RecordingsView::resizeEvent(QResizeEvent* event) {
    // The first column takes up the change of width; the others keep theirs.
    QTreeView::resizeEvent(event);
    if (!event->oldSize().isValid() || event->oldSize().width() <= 0) {
        // First laid out: the first column fills what the others leave.
        int others = 0;
        for (int column = 1; column < header()->count(); ++column)
            others += header()->sectionSize(column);
        const int room = viewport()->width() - others;
        if (header()->count() > 0 && room >= 100)
            header()->resizeSection(0, room);
        return;
    }
    const int change = event->size().width() - event->oldSize().width();
    if (change != 0 && header()->count() > 0)
        header()->resizeSection(0, std::max(40, header()->sectionSize(0) + change));
}

void RecordingsView::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    QTreeView::drawRow(painter, option, index);
    // Horizontal grid lines.
    painter->save();
    painter->setPen(QColor(225, 225, 225));
    painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
    painter->restore();
}
