#include "foldertree.h"

#include <QCollator>
#include <QDir>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <pwd.h>
#include <unistd.h>

struct FolderTreeModel::Node {
    QString path;
    QString label;
    QString toolTip;
    QString iconName;
    bool output = false;
    bool pinned = false; ///< a hidden folder shown because it was asked for by path
    bool loaded = false; ///< its sub-folders have been read
    Node* parent = nullptr;
    int row = 0;
    Nodes children;
};

namespace {

const QString Root = QStringLiteral("/");

QString cleanAbsolute(const QString& path) {
    return path.isEmpty() ? QString() : QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Whether `path` is `folder` or inside it; both cleaned and absolute.
bool contains(const QString& folder, const QString& path) {
    if (folder == Root)
        return path.startsWith(Root);
    return path == folder ||
           (path.startsWith(folder) && path.at(folder.size()) == QLatin1Char('/'));
}

QString childPath(const QString& folder, const QString& name) {
    return folder == Root ? Root + name : folder + QLatin1Char('/') + name;
}

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Names as a file chooser orders them: by the user's locale ignoring case, runs of digits
// by their value ("Take 9" before "Take 10"); names equal that way keep one fixed order, so
// that a re-read sorts the same. The digits are compared here because the collator does
// not do it in the C locale.
bool byName(const QString& a, const QString& b) {
    static const QCollator collator = [] {
        QCollator c;
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitsA = isDigit(a.at(i));
        const bool digitsB = isDigit(b.at(j));
        qsizetype endA = i;
        while (endA < a.size() && isDigit(a.at(endA)) == digitsA)
            ++endA;
        qsizetype endB = j;
        while (endB < b.size() && isDigit(b.at(endB)) == digitsB)
            ++endB;
        QStringView runA = QStringView(a).mid(i, endA - i);
        QStringView runB = QStringView(b).mid(j, endB - j);
        int order = 0;
        if (digitsA && digitsB) {
            while (runA.size() > 1 && runA.front() == QLatin1Char('0'))
                runA = runA.mid(1);
            while (runB.size() > 1 && runB.front() == QLatin1Char('0'))
                runB = runB.mid(1);
            order = runA.size() != runB.size() ? (runA.size() < runB.size() ? -1 : 1)
                                               : runA.compare(runB);
        } else {
            order = collator.compare(runA, runB);
        }
        if (order != 0)
            return order < 0;
        i = endA;
        j = endB;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;
}

QString userName() {
    QString name = qEnvironmentVariable("USER");
    if (name.isEmpty()) {
        if (const passwd* entry = ::getpwuid(::geteuid()))
            name = QString::fromLocal8Bit(entry->pw_name);
    }
    return name;
}

} // namespace

std::vector<FolderPlace> folderPlaces(const QString& outputFolder) {
    std::vector<FolderPlace> places;
    QStringList keys; // where each place really is, so that one folder is shown once
    FolderPlace root{Root, QStringLiteral("File System"), Root, QStringLiteral("drive-harddisk")};
    const auto add = [&](const QString& path, const QString& label, const QString& toolTip,
                         const QString& iconName, bool output) {
        const QString clean = cleanAbsolute(path);
        const QFileInfo info(clean);
        if (clean.isEmpty() || !info.isDir())
            return;
        QString key = info.canonicalFilePath();
        if (key.isEmpty())
            key = clean;
        FolderPlace* same = key == Root ? &root : nullptr;
        if (const qsizetype at = keys.indexOf(key); at >= 0)
            same = &places[static_cast<size_t>(at)];
        if (same) {
            if (output && !same->output) {
                same->output = true;
                same->toolTip += QStringLiteral("\nThe recordings folder");
            }
            return;
        }
        keys << key;
        places.push_back({clean, label.isEmpty() ? clean : label, toolTip, iconName, output});
    };

    const QString home = cleanAbsolute(QDir::homePath());
    add(home, QStringLiteral("Home"), home, QStringLiteral("user-home"), false);
    const QString output = cleanAbsolute(outputFolder);
    add(output, QFileInfo(output).fileName(), QStringLiteral("The recordings folder: ") + output,
        QStringLiteral("folder-music"), true);
    const std::pair<QStandardPaths::StandardLocation, const char*> userFolders[] = {
        {QStandardPaths::MusicLocation, "folder-music"},
        {QStandardPaths::DesktopLocation, "user-desktop"},
        {QStandardPaths::DocumentsLocation, "folder-documents"},
        {QStandardPaths::DownloadLocation, "folder-download"},
    };
    for (const auto& [location, iconName] : userFolders) {
        const QString folder = cleanAbsolute(QStandardPaths::writableLocation(location));
        add(folder, QFileInfo(folder).fileName(), folder, QString::fromLatin1(iconName), false);
    }

    const QString user = userName();
    std::vector<FolderPlace> volumes;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady())
            continue;
        const QString mount = QDir::cleanPath(volume.rootPath());
        // Where volumes are mounted for the user: /mnt/NAME, /media/NAME, /media/USER/NAME and
        // /run/media/USER/NAME. Mounts deeper down belong to the system or to other programs.
        const auto mountedAt = [&mount](const QString& base) {
            return mount.startsWith(base + QLatin1Char('/')) &&
                   !mount.mid(base.size() + 1).contains(QLatin1Char('/'));
        };
        if (!mountedAt(QStringLiteral("/mnt")) && !mountedAt(QStringLiteral("/media")) &&
            (user.isEmpty() || (!mountedAt(QStringLiteral("/media/") + user) &&
                                !mountedAt(QStringLiteral("/run/media/") + user))))
            continue;
        const QString label = volume.name().isEmpty() ? QFileInfo(mount).fileName() : volume.name();
        volumes.push_back({mount, label, mount, QStringLiteral("drive-removable-media")});
    }
    std::stable_sort(
        volumes.begin(), volumes.end(),
        [](const FolderPlace& a, const FolderPlace& b) { return byName(a.label, b.label); });
    for (const FolderPlace& volume : volumes)
        add(volume.path, volume.label, volume.toolTip, volume.iconName, false);

    places.push_back(root);
    return places;
}

FolderTreeModel::FolderTreeModel(const QString& outputFolder, QObject* parent)
    : QAbstractItemModel(parent), m_root(std::make_unique<Node>()), m_output(outputFolder) {
    m_root->loaded = true;
    const QFileIconProvider provider;
    m_folderIcon = provider.icon(QFileIconProvider::Folder);
    m_icons.insert(QString(), m_folderIcon);
    // Theme icons where the desktop has them; the provider's drive icon otherwise.
    const QIcon drive = provider.icon(QFileIconProvider::Drive);
    for (const char* name : {"drive-harddisk", "drive-removable-media"})
        m_icons.insert(QString::fromLatin1(name),
                       QIcon::fromTheme(QString::fromLatin1(name), drive));
    syncPlaces();
}

FolderTreeModel::~FolderTreeModel() = default;

void FolderTreeModel::setOutputFolder(const QString& folder) {
    m_output = folder;
    syncPlaces();
}

void FolderTreeModel::refresh() {
    syncPlaces();
    for (const auto& place : m_root->children)
        refreshLoaded(place.get());
}

void FolderTreeModel::refreshLoaded(Node* node) {
    if (!node->loaded)
        return;
    syncFolder(node);
    for (const auto& child : node->children)
        refreshLoaded(child.get());
}

void FolderTreeModel::syncPlaces() {
    Nodes wanted;
    for (const FolderPlace& place : folderPlaces(m_output)) {
        auto node = std::make_unique<Node>();
        node->path = place.path;
        node->label = place.label;
        node->toolTip = place.toolTip;
        node->iconName = place.iconName;
        node->output = place.output;
        wanted.push_back(std::move(node));
    }
    syncChildren(m_root.get(), std::move(wanted));
}

void FolderTreeModel::syncFolder(Node* node, const QString& pin) {
    // Hidden folders are left out (no QDir::Hidden), as a file chooser leaves them out.
    QStringList names =
        QDir(node->path, QString(), QDir::Unsorted, QDir::Dirs | QDir::NoDotAndDotDot).entryList();
    QStringList pinned;
    for (const auto& child : node->children) {
        if (child->pinned && !names.contains(child->label) && QFileInfo(child->path).isDir())
            pinned << child->label;
    }
    if (!pin.isEmpty() && !names.contains(pin) && !pinned.contains(pin) &&
        QFileInfo(childPath(node->path, pin)).isDir())
        pinned << pin;
    names += pinned;
    std::sort(names.begin(), names.end(), byName);
    Nodes wanted;
    wanted.reserve(static_cast<size_t>(names.size()));
    for (const QString& name : names) {
        auto child = std::make_unique<Node>();
        child->path = childPath(node->path, name);
        child->label = name;
        child->pinned = pinned.contains(name);
        wanted.push_back(std::move(child));
    }
    node->loaded = true;
    syncChildren(node, std::move(wanted));
}

void FolderTreeModel::syncChildren(Node* parent, Nodes wanted) {
    const QModelIndex parentIndex = indexOf(parent);
    Nodes& kids = parent->children;
    const auto renumber = [&kids] {
        for (size_t i = 0; i < kids.size(); ++i)
            kids[i]->row = static_cast<int>(i);
    };
    const auto removeRows = [&](int first, int last) {
        beginRemoveRows(parentIndex, first, last);
        kids.erase(kids.begin() + first, kids.begin() + last + 1);
        renumber();
        endRemoveRows();
    };

    QSet<QString> wantedPaths;
    for (const auto& node : wanted)
        wantedPaths.insert(node->path);
    for (int i = static_cast<int>(kids.size()) - 1; i >= 0; --i) {
        if (!wantedPaths.contains(kids[static_cast<size_t>(i)]->path))
            removeRows(i, i);
    }
    // The rows that stay must come in the wanted order; when they do not (a place moved),
    // they are all read again.
    size_t at = 0;
    bool inOrder = true;
    for (const auto& kid : kids) {
        while (at < wanted.size() && wanted[at]->path != kid->path)
            ++at;
        if (at == wanted.size()) {
            inOrder = false;
            break;
        }
        ++at;
    }
    if (!inOrder)
        removeRows(0, static_cast<int>(kids.size()) - 1);

    size_t j = 0;
    while (j < wanted.size()) {
        if (j < kids.size() && kids[j]->path == wanted[j]->path) {
            Node& kept = *kids[j];
            const Node& fresh = *wanted[j];
            kept.pinned = fresh.pinned;
            kept.output = fresh.output;
            if (kept.label != fresh.label || kept.toolTip != fresh.toolTip ||
                kept.iconName != fresh.iconName) {
                kept.label = fresh.label;
                kept.toolTip = fresh.toolTip;
                kept.iconName = fresh.iconName;
                const QModelIndex changed = indexOf(&kept);
                emit dataChanged(changed, changed);
            }
            ++j;
            continue;
        }
        // New rows up to the next row that stays.
        const QString next = j < kids.size() ? kids[j]->path : QString();
        size_t end = j;
        while (end < wanted.size() && (next.isNull() || wanted[end]->path != next))
            ++end;
        beginInsertRows(parentIndex, static_cast<int>(j), static_cast<int>(end) - 1);
        for (size_t k = j; k < end; ++k)
            wanted[k]->parent = parent;
        kids.insert(kids.begin() + static_cast<std::ptrdiff_t>(j),
                    std::make_move_iterator(wanted.begin() + static_cast<std::ptrdiff_t>(j)),
                    std::make_move_iterator(wanted.begin() + static_cast<std::ptrdiff_t>(end)));
        renumber();
        endInsertRows();
        j = end;
    }
}

QModelIndex FolderTreeModel::indexForPath(const QString& folder, const QString& place) {
    const QString clean = cleanAbsolute(folder);
    if (clean.isEmpty() || !QFileInfo(clean).isDir())
        return {};
    Node* start = nullptr;
    for (const auto& candidate : m_root->children) {
        if (candidate->output && contains(candidate->path, clean))
            start = candidate.get();
    }
    for (const auto& candidate : m_root->children) {
        if (!start && !place.isEmpty() && candidate->path == place &&
            contains(candidate->path, clean))
            start = candidate.get();
    }
    if (!start) {
        for (const auto& candidate : m_root->children) {
            if (contains(candidate->path, clean) &&
                (!start || candidate->path.size() > start->path.size()))
                start = candidate.get();
        }
    }
    if (!start)
        return {};
    Node* node = start;
    const auto find = [](const Node* in, const QString& name) -> Node* {
        for (const auto& child : in->children) {
            if (child->label == name)
                return child.get();
        }
        return nullptr;
    };
    for (const QString& name :
         clean.mid(start->path.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!node->loaded)
            syncFolder(node);
        Node* child = find(node, name);
        if (!child) {
            // Made since its parent was read, or hidden.
            syncFolder(node, name);
            child = find(node, name);
        }
        if (!child)
            return {};
        node = child;
    }
    return indexOf(node);
}

QString FolderTreeModel::path(const QModelIndex& index) const {
    return index.isValid() ? nodeOf(index)->path : QString();
}

QString FolderTreeModel::placePath(const QModelIndex& index) const {
    if (!index.isValid())
        return {};
    const Node* node = nodeOf(index);
    while (node->parent && node->parent != m_root.get())
        node = node->parent;
    return node->path;
}

FolderTreeModel::Node* FolderTreeModel::nodeOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : m_root.get();
}

QModelIndex FolderTreeModel::indexOf(const Node* node) const {
    if (!node || node == m_root.get())
        return {};
    return createIndex(node->row, 0, const_cast<Node*>(node));
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
    const Node* node = nodeOf(parent);
    if (column != 0 || row < 0 || row >= static_cast<int>(node->children.size()))
        return {};
    return createIndex(row, 0, node->children[static_cast<size_t>(row)].get());
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
    return child.isValid() ? indexOf(nodeOf(child)->parent) : QModelIndex();
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return static_cast<int>(nodeOf(parent)->children.size());
}

int FolderTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

bool FolderTreeModel::hasChildren(const QModelIndex& parent) const {
    // A folder not read yet shows that it can be opened; reading it to find out would read
    // every folder on the screen.
    const Node* node = nodeOf(parent);
    return !node->loaded || !node->children.empty();
}

bool FolderTreeModel::canFetchMore(const QModelIndex& parent) const {
    return !nodeOf(parent)->loaded;
}

void FolderTreeModel::fetchMore(const QModelIndex& parent) {
    Node* node = nodeOf(parent);
    if (!node->loaded)
        syncFolder(node);
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const Node* node = nodeOf(index);
    switch (role) {
    case Qt::DisplayRole:
        return node->label;
    case Qt::ToolTipRole:
        return node->toolTip.isEmpty() ? QVariant() : QVariant(node->toolTip);
    case Qt::DecorationRole:
        return iconFor(node);
    case PathRole:
        return node->path;
    default:
        return {};
    }
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

QIcon FolderTreeModel::iconFor(const Node* node) const {
    auto found = m_icons.constFind(node->iconName);
    if (found == m_icons.constEnd())
        found = m_icons.insert(node->iconName, QIcon::fromTheme(node->iconName, m_folderIcon));
    return *found;
}
