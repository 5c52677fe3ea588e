#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QIcon>
#include <QString>

#include <memory>
#include <vector>

/// One top-level entry of the browser's folder tree.
struct FolderPlace {
    QString path; ///< absolute, cleaned
    QString label;
    QString toolTip;
    QString iconName;    ///< a theme icon name
    bool output = false; ///< the recordings folder
};

/// The places a Linux user knows, in the order the tree shows them: the home folder, the
/// recordings folder `outputFolder`, the user folders (Music, Desktop, Documents,
/// Downloads) that exist, the mounted volumes under /media, /run/media/<user> and /mnt,
/// and the file system root last. A folder shown as one place is not shown again as
/// another. Window thread only (it asks the desktop for icon names only, not for icons).
std::vector<FolderPlace> folderPlaces(const QString& outputFolder);

/// The browser's folder tree: the places above, each a tree of its sub-folders (hidden
/// ones left out), sorted by name as a file chooser sorts them. A folder is read when it is
/// first expanded or asked for by path, and again only by refresh(): nothing watches the
/// folders. Reading is synchronous. Window thread only.
class FolderTreeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    /// The absolute path of a folder, as a QString.
    static constexpr int PathRole = Qt::UserRole + 1;

    explicit FolderTreeModel(const QString& outputFolder, QObject* parent = nullptr);
    ~FolderTreeModel() override;

    /// Builds the places again for the recordings folder `folder` (also when it is the same
    /// folder: a volume may have come or gone). Places that stay keep what was read of them.
    void setOutputFolder(const QString& folder);
    /// Builds the places again and re-reads every folder read so far: new folders appear,
    /// vanished ones go, rows that stay keep their state in the view.
    void refresh();

    /// The folder `folder` (made absolute and cleaned) in the tree, reading the folders on the
    /// way down; a folder missing from what was read of its parent is read again, and a
    /// hidden folder asked for by path is shown. The place is the recordings folder when
    /// `folder` is inside it, else `place` when given and containing it, else the deepest
    /// place containing it, else the root. Invalid when `folder` is not a directory.
    QModelIndex indexForPath(const QString& folder, const QString& place = {});
    QString path(const QModelIndex& index) const;
    /// The path of the place `index` is under (its top-level ancestor).
    QString placePath(const QModelIndex& index) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Node;
    using Nodes = std::vector<std::unique_ptr<Node>>;

    Node* nodeOf(const QModelIndex& index) const;
    QModelIndex indexOf(const Node* node) const;
    void syncPlaces();
    /// Reads `node`'s folder and brings its children in line; `pin` names a hidden child to
    /// show all the same.
    void syncFolder(Node* node, const QString& pin = {});
    /// Makes `parent`'s children the `wanted` ones (same order), keeping the nodes that stay.
    void syncChildren(Node* parent, Nodes wanted);
    void refreshLoaded(Node* node);
    QIcon iconFor(const Node* node) const;

    std::unique_ptr<Node> m_root;
    QString m_output;
    QIcon m_folderIcon;
    mutable QHash<QString, QIcon> m_icons;
};
