#pragma once

#include "browser/listing.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <QTreeView>

#include <functional>
#include <vector>

/// The browser's list of recordings: one TMCRS per row. Window thread only.
class RecordingsModel : public QAbstractTableModel {
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    const std::vector<TMCRS>& rows() const { return m_rows; }
    /// Replaces every row at once (one reset, so the view redraws once).
    void setRows(std::vector<TMCRS> rows);
    void removeRow(int row);
    TMCRS& row(int row) { return m_rows.at(static_cast<size_t>(row)); }
    void rowChanged(int row);

    /// Whether row `row`'s name may be edited now.
    std::function<bool(int row)> canEdit;
    /// An accepted edit of a name; false keeps the old one.
    std::function<bool(int row, const QString& text)> renamed;

private:
    QIcon iconFor(const QString& fileName) const;

    std::vector<TMCRS> m_rows;
    mutable QHash<QString, QIcon> m_icons; ///< one icon per extension: all recordings alike
};

/// The list's view: whole rows, one at a time, horizontal grid lines, and a drag of the
/// selected files out to other programs. Window thread only.
class RecordingsView : public QTreeView {
    Q_OBJECT

public:
    explicit RecordingsView(QWidget* parent = nullptr);

    /// Whether a name is being edited.
    bool editing() const { return state() == QAbstractItemView::EditingState; }

    /// The full paths the drag carries.
    std::function<QStringList()> dragFiles;

signals:
    void deletePressed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;

private:
    QPoint m_dragPoint;
};
