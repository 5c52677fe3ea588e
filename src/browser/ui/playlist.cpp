#include "playlist.h"

#include "browser/filecommands.h"
#include "browser/sharing.h"
#include "browser/tagaccess.h"
#include "browser/tagbinding.h"
#include "browser/tagworker.h"
#include "browser/ui/foldertree.h"
#include "browser/ui/recordingsmodel.h"
#include "common/filename.h"
#include "common/messages.h"
#include "common/recordinglock.h"
#include "settings/config.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>

namespace {

const QColor StripColour(238, 244, 249);
const char* const TagLabels[8] = {
    "Title:", "Artist:", "Album:", "Track:", "Year:", "Genre:", "Comment:", "Copyright:"};
constexpr int ColumnWidths[BrowserColumnCount] = {194, 120, 120, 70, 120};

// A name in a message: quoted, and readable even when it is not UTF-8.
QString quoted(const QString& name) {
    return QLatin1Char('"') + displayFileName(name) + QLatin1Char('"');
}

// True when a recorder still writes one of `paths`: a tag written, a rename or a delete now
// would corrupt or lose that recording (the encoder keeps writing at its own offsets into
// its own inode). Says so once, naming the first such file.
bool refusedWhileRecorded(std::initializer_list<QString> paths) {
    for (const QString& path : paths) {
        if (RecordingLock::isBeingRecorded(path)) {
            messages().show(QStringLiteral("The file %1 is being recorded.\nThis command can be "
                                           "used once the recording has stopped.")
                                .arg(quoted(QFileInfo(path).fileName())),
                            QStringLiteral("Orvanta"), MessageIcon::Information,
                            MessageButtons::Ok);
            return true;
        }
    }
    return false;
}

} // namespace

Tplaylist::Tplaylist(BrowserHost& host, std::unique_ptr<TagBinding> binding, QWidget* mainWindow)
    : QWidget(nullptr, Qt::Window), m_host(host), m_mainWindow(mainWindow) {
    setWindowTitle(QStringLiteral("Recording Browser"));
    setMinimumWidth(720);
    resize(823, 576);
    if (!binding)
        binding = std::make_unique<TagBinding>();
    m_tags = std::make_unique<TagWorker>(std::move(binding));
    m_lister = std::make_unique<FolderLister>(*m_tags);
    connect(m_lister.get(), &FolderLister::sliceReady, this, &Tplaylist::sliceArrived);
    connect(m_lister.get(), &FolderLister::finished, this, &Tplaylist::listingDone);
    buildActions();
    buildLayout();
    FormCreate();
}

Tplaylist::~Tplaylist() {
    if (clm && tmail)
        tmail->terminate();
    // The listing's jobs end with the tag thread; the lister drops what they still post.
    m_lister.reset();
    m_tags.reset();
}

void Tplaylist::buildActions() {
    const auto make = [this](const QString& caption, const QString& hint, const char* themeIcon,
                             QStyle::StandardPixmap fallback, auto handler) {
        auto* action = new QAction(
            QIcon::fromTheme(QString::fromLatin1(themeIcon), style()->standardIcon(fallback)),
            caption, this);
        if (!hint.isEmpty())
            action->setToolTip(hint);
        connect(action, &QAction::triggered, this, handler);
        addAction(action);
        return action;
    };
    RenameAction = make(QStringLiteral("Rename"), QStringLiteral("Rename"), "edit-rename",
                        QStyle::SP_FileDialogDetailedView, [this] { RenameActionExecute(); });
    RenameAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    SaveAsAction =
        make(QStringLiteral("Save as..."), QStringLiteral("Save as..."), "document-save-as",
             QStyle::SP_DialogSaveButton, [this] { SaveAsActionExecute(); });
    SaveAsAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    DeleteAction = make(QStringLiteral("Delete"), QStringLiteral("Delete"), "edit-delete",
                        QStyle::SP_TrashIcon, [this] { DeleteActionExecute(); });
    ExitAction = make(QStringLiteral("Exit"), QStringLiteral("Exit"), "window-close",
                      QStyle::SP_DialogCloseButton, [this] { ExitActionExecute(); });
    PlayAction = make(QStringLiteral("Play"), QStringLiteral("Play"), "media-playback-start",
                      QStyle::SP_MediaPlay, [this] { VSTDblClick(); });
    StopAction = make(QStringLiteral("Stop"), QStringLiteral("Stop"), "media-playback-stop",
                      QStyle::SP_MediaStop, [this] { StopActionExecute(); });
    SendAction = make(QStringLiteral("Send by Email"), QStringLiteral("Send by mail..."),
                      "mail-send", QStyle::SP_ArrowRight, [this] { SendActionExecute(); });
    SendAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    // The tree does not watch folders: Refresh reads them again too.
    RefreshAction = make(QStringLiteral("Refresh"), QStringLiteral("Refresh Folder"),
                         "view-refresh", QStyle::SP_BrowserReload, [this] {
                             refreshTree();
                             RefreshActionExecute();
                         });
    RefreshAction->setShortcut(QKeySequence(Qt::Key_F5));
    SaveTagAction = make(QStringLiteral("Save Tag"), QString(), "document-save",
                         QStyle::SP_DialogSaveButton, [this] { SaveTagActionExecute(); });
    RemoveTagAction = make(QStringLiteral("Remove Tag"), QString(), "edit-clear",
                           QStyle::SP_DialogDiscardButton, [this] { RemoveTagActionExecute(); });
    EditAction = make(QStringLiteral("Edit Recording"), QStringLiteral("Edit file in sound editor"),
                      "audio-x-generic", QStyle::SP_FileIcon, [this] { EditActionExecute(); });
    EditAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    itunesAction =
        make(QStringLiteral("Send to iTunes"), QStringLiteral("Send recording to iTunes"),
             "multimedia-player", QStyle::SP_MediaVolume, [this] { itunesActionExecute(); });
    itunesAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
}

void Tplaylist::buildLayout() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* toolbar = new QToolBar(this);
    toolbar->setFixedHeight(41);
    toolbar->setIconSize(QSize(24, 24));
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar->setAutoFillBackground(true);
    QPalette strip = toolbar->palette();
    strip.setColor(QPalette::Window, StripColour);
    toolbar->setPalette(strip);
    for (QAction* action : {RenameAction, SaveAsAction, DeleteAction, PlayAction, StopAction,
                            EditAction, itunesAction, SendAction})
        toolbar->addAction(action);
    auto* spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    toolbar->addAction(RefreshAction);
    outer->addWidget(toolbar);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    m_folders = new FolderTreeModel(config.archive, this);
    folderTree = new QTreeView(splitter);
    folderTree->setModel(m_folders);
    folderTree->setHeaderHidden(true);
    // One line per folder: the view need not measure every row of a folder of thousands.
    folderTree->setUniformRowHeights(true);
    folderTree->setSelectionMode(QAbstractItemView::SingleSelection);
    folderTree->setMinimumWidth(150);
    folderTree->setContextMenuPolicy(Qt::CustomContextMenu);
    // A right click selects the folder, as a left click does.
    connect(folderTree, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = folderTree->indexAt(at);
        if (index.isValid())
            folderTree->setCurrentIndex(index);
    });

    auto* right = new QWidget(splitter);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    m_model = new RecordingsModel(this);
    m_model->canEdit = [this](int row) { return VSTEditing(row); };
    m_model->renamed = [this](int row, const QString& text) { return renameRow(row, text); };
    VST = new RecordingsView(right);
    VST->setModel(m_model);
    for (int column = 0; column < BrowserColumnCount; ++column)
        VST->header()->resizeSection(column, ColumnWidths[column]);
    VST->header()->setSortIndicator(-1, Qt::DescendingOrder);
    VST->dragFiles = [this] {
        QStringList files;
        const int row = selectedRow();
        if (row >= 0)
            files.append(rowPath(row));
        return files;
    };
    VST->setContextMenuPolicy(Qt::CustomContextMenu);
    listMenu = new QMenu(this);
    listMenu->addAction(RenameAction);
    listMenu->addAction(EditAction);
    listMenu->addAction(SendAction);
    listMenu->addAction(itunesAction);
    listMenu->addAction(SaveAsAction);
    listMenu->addSeparator();
    listMenu->addAction(DeleteAction);
    connect(VST, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { listMenu->popup(VST->viewport()->mapToGlobal(at)); });
    connect(VST->header(), &QHeaderView::sectionClicked, this, &Tplaylist::VSTHeaderClick);
    connect(VST, &RecordingsView::deletePressed, this, [this] { DeleteActionExecute(); });
    connect(VST, &QAbstractItemView::doubleClicked, this, [this] { VSTDblClick(); });
    connect(VST, &QAbstractItemView::clicked, this, [this] { validatecontrols(); });
    connect(VST->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid()) {
                    ShowTag();
                    validatecontrols();
                }
            });
    rightLayout->addWidget(VST, 1);

    auto* tagTabs = new QTabWidget(right);
    tagTabs->setFixedHeight(243);
    auto* page = new QWidget(tagTabs);
    auto* grid = new QGridLayout(page);
    for (int i = 0; i < 8; ++i) {
        auto* edit = new QLineEdit(page);
        edit->setMaxLength(250);
        auto* label = new QLabel(QString::fromLatin1(TagLabels[i]), page);
        label->setBuddy(edit);
        const int column = (i / 4) * 2;
        grid->addWidget(label, i % 4, column);
        grid->addWidget(edit, i % 4, column + 1);
        tagFields[static_cast<size_t>(i)] = edit;
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    auto* buttons = new QHBoxLayout;
    CopyButton = new QPushButton(QStringLiteral("Copy Tag"), page);
    PasteButton = new QPushButton(QStringLiteral("Paste Tag"), page);
    ClearButton = new QPushButton(QStringLiteral("Clear Fields"), page);
    auto* saveButton = new QPushButton(QStringLiteral("Save Tag"), page);
    auto* removeButton = new QPushButton(QStringLiteral("Remove Tag"), page);
    connect(CopyButton, &QPushButton::clicked, this, [this] { CopyButtonClick(); });
    connect(PasteButton, &QPushButton::clicked, this, [this] { PasteButtonClick(); });
    connect(ClearButton, &QPushButton::clicked, this, [this] { ClearAll(); });
    for (auto [button, action] :
         {std::pair{saveButton, SaveTagAction}, std::pair{removeButton, RemoveTagAction}}) {
        connect(button, &QPushButton::clicked, action, &QAction::trigger);
        connect(action, &QAction::changed, button,
                [button, action] { button->setEnabled(action->isEnabled()); });
    }
    buttons->addWidget(CopyButton);
    buttons->addWidget(PasteButton);
    buttons->addWidget(ClearButton);
    buttons->addStretch(1);
    buttons->addWidget(saveButton);
    buttons->addWidget(removeButton);
    grid->addLayout(buttons, 4, 0, 1, 4);
    grid->setRowStretch(5, 1);
    tagTabs->addTab(page, QStringLiteral(" Tag Info "));
    rightLayout->addWidget(tagTabs);

    splitter->addWidget(folderTree);
    splitter->addWidget(right);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({196, 823 - 196});
    splitter->setChildrenCollapsible(false);
    outer->addWidget(splitter, 1);

    auto* statusStrip = new QFrame(this);
    statusStrip->setFixedHeight(28);
    statusStrip->setAutoFillBackground(true);
    statusStrip->setPalette(strip);
    auto* statusLayout = new QHBoxLayout(statusStrip);
    statusLayout->setContentsMargins(8, 0, 8, 0);
    m_status = new QLabel(QStringLiteral("Total files found: 0"), statusStrip);
    statusLayout->addWidget(m_status);
    outer->addWidget(statusStrip);
}

void Tplaylist::FormCreate() {
    clm = false;
    ClearAll();
    m_sortcolumn = 0;
    m_sorttoggles.fill(false);
    validatecontrols();
    // Unique: a second FormCreate must not list every folder twice.
    connect(folderTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &Tplaylist::treeSelectionChanged, Qt::UniqueConnection);
}

void Tplaylist::treeSelectionChanged() {
    if (m_treeRefreshing)
        return;
    RefreshActionExecute();
    validatecontrols();
}

// --- Folders and listing -------------------------------------------------------------

void Tplaylist::selectFolder(const QString& folder) {
    const QModelIndex index = m_folders->indexForPath(folder);
    if (!index.isValid())
        return;
    for (QModelIndex parent = index.parent(); parent.isValid(); parent = parent.parent())
        folderTree->expand(parent);
    if (folderTree->currentIndex() == index) {
        // The same folder under another spelling: no selection change, so list it here.
        treeSelectionChanged();
    } else {
        folderTree->setCurrentIndex(index);
    }
    folderTree->scrollTo(index, QAbstractItemView::PositionAtCenter);
    // A window being shown has no final size yet: centre the folder again once it has.
    QTimer::singleShot(0, this, [this] {
        if (folderTree->currentIndex().isValid())
            folderTree->scrollTo(folderTree->currentIndex(), QAbstractItemView::PositionAtCenter);
    });
}

QString Tplaylist::selectedFolder() const {
    return m_folders->path(folderTree->currentIndex());
}

void Tplaylist::refreshTree() {
    const QModelIndex current = folderTree->currentIndex();
    const QString place = m_folders->placePath(current);
    QString wanted = m_folders->path(current);
    // Rows that go move the selection to a neighbour; that is no choice of the user's.
    m_treeRefreshing = true;
    m_folders->setOutputFolder(config.archive);
    m_folders->refresh();
    if (!wanted.isEmpty()) {
        while (!QFileInfo(wanted).isDir() && wanted != QLatin1String("/"))
            wanted = QFileInfo(wanted).path();
        QModelIndex index = folderTree->currentIndex();
        if (m_folders->path(index) != wanted || m_folders->placePath(index) != place)
            index = m_folders->indexForPath(wanted, place);
        for (QModelIndex parent = index.parent(); parent.isValid(); parent = parent.parent())
            folderTree->expand(parent);
        folderTree->setCurrentIndex(index);
    }
    m_treeRefreshing = false;
}

void Tplaylist::RefreshActionExecute() {
    const QString folder = selectedFolder();
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
        if (QDir::setCurrent(folder)) {
            m_listedFolder = folder;
        } else {
            showError(QString::fromLocal8Bit(std::strerror(errno)),
                      QStringLiteral("Can not open folder"));
        }
    }
    if (m_listedFolder.isEmpty())
        m_listedFolder = QDir::currentPath();
    m_model->setRows({});
    m_pending.clear();
    m_failed.clear();
    m_lister->list(m_listedFolder);
}

bool Tplaylist::listing() const {
    return m_lister->running();
}

void Tplaylist::sliceArrived(const ListingSlice& slice) {
    m_pending.insert(m_pending.end(), slice.rows.begin(), slice.rows.end());
    m_failed.append(slice.failed);
    m_status->setText(QStringLiteral("Total recordings found: ") +
                      QString::number(m_pending.size()));
}

void Tplaylist::listingDone() {
    const QHeaderView* header = VST->header();
    if (header->sortIndicatorSection() >= 0 && header->sortIndicatorSection() < BrowserColumnCount)
        sortRows(m_pending, header->sortIndicatorSection(),
                 header->sortIndicatorOrder() == Qt::DescendingOrder);
    m_model->setRows(std::move(m_pending));
    m_pending.clear();
    m_status->setText(QStringLiteral("Total recordings found: ") +
                      QString::number(m_model->rowCount()));
    const QStringList failed = std::exchange(m_failed, {});
    for (const QString& name : failed)
        showError(QStringLiteral("Could not get file info for: ") + displayFileName(name),
                  QStringLiteral("Error"));
    if (m_model->rowCount() > 0 && m_host.activePlaybackFile().isEmpty() && m_host.workmode() == 2)
        m_host.setLastfile(GetSelectedFile());
    validatecontrols();
    emit listingFinished();
}

const std::vector<TMCRS>& Tplaylist::rows() const {
    return m_model->rows();
}

int Tplaylist::selectedRow() const {
    const QModelIndexList selected = VST->selectionModel()->selectedRows();
    return selected.isEmpty() ? -1 : selected.first().row();
}

void Tplaylist::selectRow(int row) {
    if (row < 0 || row >= m_model->rowCount()) {
        VST->selectionModel()->clear();
        return;
    }
    VST->selectionModel()->setCurrentIndex(
        m_model->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QString Tplaylist::statusText() const {
    return m_status->text();
}

QString Tplaylist::GetSelectedFile() {
    if (selectedRow() < 0 && m_model->rowCount() > 0)
        selectRow(0);
    const int row = selectedRow();
    return row < 0 ? QString() : rowPath(row);
}

QString Tplaylist::rowPath(int row) const {
    return m_listedFolder + QLatin1Char('/') + rows()[static_cast<size_t>(row)].audiofile;
}

void Tplaylist::enablecontrols(bool t) {
    for (QAction* action : {RenameAction, SaveAsAction, DeleteAction, PlayAction, StopAction,
                            SendAction, SaveTagAction, RemoveTagAction, EditAction, itunesAction})
        action->setEnabled(t);
    for (QPushButton* button : {CopyButton, PasteButton, ClearButton})
        button->setEnabled(t);
}

void Tplaylist::validatecontrols() {
    enablecontrols(selectedRow() >= 0);
}

// --- Showing ----------------------------------------------------------------------------

void Tplaylist::FormShow() {
    const QString archive = config.archive;
    // The recordings folder may have been changed or made since the tree was built.
    m_treeRefreshing = true;
    m_folders->setOutputFolder(archive);
    m_treeRefreshing = false;
    if (QFileInfo(archive).isDir()) {
        if (selectedFolder() != archive)
            selectFolder(archive);
        else
            RefreshActionExecute();
    }
    const bool descending = !m_sorttoggles[static_cast<size_t>(m_sortcolumn)];
    sortList(m_sortcolumn, descending);
    VST->header()->setSortIndicator(m_sortcolumn,
                                    descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    validatecontrols();
}

void Tplaylist::showBrowser() {
    if (!m_shownOnce && m_mainWindow) {
        // Opened centred on the main window, kept on its screen.
        QRect frame(QPoint(), size());
        frame.moveCenter(m_mainWindow->frameGeometry().center());
        if (const QScreen* screen = m_mainWindow->screen()) {
            const QRect available = screen->availableGeometry();
            frame.moveLeft(
                std::clamp(frame.left(), available.left(),
                           std::max(available.left(), available.right() - frame.width())));
            frame.moveTop(
                std::clamp(frame.top(), available.top(),
                           std::max(available.top(), available.bottom() - frame.height())));
        }
        move(frame.topLeft());
    }
    m_shownOnce = true;
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    show();
    raise();
    activateWindow();
}

void Tplaylist::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void Tplaylist::closeEvent(QCloseEvent* event) {
    // Closing only hides: the folder, the sort and the tag copy stay until the program ends.
    event->accept();
}

void Tplaylist::sortList(int column, bool descending) {
    const int selected = selectedRow();
    std::vector<TMCRS> sorted = m_model->rows();
    if (sorted.empty())
        return;
    // Sort positions, so that the selected row can be found again afterwards.
    std::vector<size_t> order(sorted.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const int c = compareRows(column, sorted[a], sorted[b]);
        return descending ? c > 0 : c < 0;
    });
    std::vector<TMCRS> result;
    result.reserve(sorted.size());
    int newSelected = -1;
    for (size_t i = 0; i < order.size(); ++i) {
        if (static_cast<int>(order[i]) == selected)
            newSelected = static_cast<int>(i);
        result.push_back(std::move(sorted[order[i]]));
    }
    m_model->setRows(std::move(result));
    if (newSelected >= 0) {
        // Re-selecting the same recording need not read its tag again.
        const QSignalBlocker block(VST->selectionModel());
        selectRow(newSelected);
        VST->viewport()->update();
    }
}

void Tplaylist::VSTHeaderClick(int column) {
    if (column < 0 || column >= BrowserColumnCount)
        return;
    m_sortcolumn = column;
    const bool descending = !m_sorttoggles[static_cast<size_t>(column)];
    sortList(column, descending);
    m_sorttoggles[static_cast<size_t>(column)] = !m_sorttoggles[static_cast<size_t>(column)];
    VST->header()->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    validatecontrols();
}

// --- Tags -------------------------------------------------------------------------------

void Tplaylist::ClearAll() {
    for (QLineEdit* field : tagFields)
        field->clear();
}

void Tplaylist::filltags(const audiotag& tag) {
    tagFields[0]->setText(tag.title);
    tagFields[1]->setText(tag.artist);
    tagFields[2]->setText(tag.album);
    tagFields[3]->setText(tag.track);
    tagFields[4]->setText(tag.year);
    tagFields[5]->setText(tag.genre);
    tagFields[6]->setText(tag.comment);
    tagFields[7]->setText(tag.copyright);
}

audiotag Tplaylist::savetags() const {
    audiotag tag;
    tag.title = tagFields[0]->text();
    tag.artist = tagFields[1]->text();
    tag.album = tagFields[2]->text();
    tag.track = tagFields[3]->text();
    tag.year = tagFields[4]->text();
    tag.genre = tagFields[5]->text();
    tag.comment = tagFields[6]->text();
    tag.copyright = tagFields[7]->text();
    return tag;
}

void Tplaylist::CopyButtonClick() {
    clipboard = savetags();
}

void Tplaylist::PasteButtonClick() {
    filltags(clipboard);
}

void Tplaylist::ShowTag() {
    ClearAll();
    const QString path = GetSelectedFile();
    if (path.isEmpty())
        return;
    filltags(m_tags->call([path](const TagAccess& access) { return access.GetTag(path); }));
}

void Tplaylist::SaveTagActionExecute() {
    const QString path = GetSelectedFile();
    if (path.isEmpty() || refusedWhileRecorded({path}))
        return;
    const audiotag fields = savetags();
    const SaveTagResult result = m_tags->call(
        [path, fields](const TagAccess& access) { return access.saveTag(path, fields); });
    reportSave(result, path, m_tags->binding());
    // The fields and the row show what the file holds now, also after a refused save.
    ShowTag();
    const int row = selectedRow();
    if (row >= 0) {
        m_model->row(row).title = tagFields[0]->text();
        m_model->row(row).artist = tagFields[1]->text();
        m_model->rowChanged(row);
    }
}

void Tplaylist::RemoveTagActionExecute() {
    const QString path = GetSelectedFile();
    if (path.isEmpty() || refusedWhileRecorded({path}))
        return;
    const RemoveTagResult result =
        m_tags->call([path](const TagAccess& access) { return access.removeTag(path); });
    reportRemove(result, path, m_tags->binding());
    if (result != RemoveTagResult::Removed)
        return;
    ClearAll();
    const int row = selectedRow();
    if (row >= 0) {
        m_model->row(row).title.clear();
        m_model->row(row).artist.clear();
        m_model->rowChanged(row);
    }
}

// --- File commands --------------------------------------------------------------------

void Tplaylist::RenameActionExecute() {
    const int row = selectedRow();
    // Told before the name is typed; renameRow() tests again when the edit is accepted.
    if (row >= 0 && !refusedWhileRecorded({rowPath(row)}))
        VST->edit(m_model->index(row, 0));
}

bool Tplaylist::VSTEditing(int row) const {
    if (row < 0 || row >= m_model->rowCount())
        return false;
    const QString playing = m_host.activePlaybackFile();
    return playing.isEmpty() ||
           QFileInfo(playing).fileName() != rows()[static_cast<size_t>(row)].audiofile;
}

bool Tplaylist::renameRow(int row, const QString& text) {
    if (row < 0 || row >= m_model->rowCount() || !VSTEditing(row))
        return false;
    TMCRS& entry = m_model->row(row);
    const QString oldName = entry.audiofile;
    QString newName = text;
    if (newName.trimmed().isEmpty() || newName == oldName)
        return false;
    // A name typed without an extension keeps the old one.
    const qsizetype dot = newName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot < newName.lastIndexOf(QLatin1Char('/'))) {
        const qsizetype oldDot = oldName.lastIndexOf(QLatin1Char('.'));
        if (oldDot >= 0)
            newName += oldName.mid(oldDot);
    }
    const QDir folder(m_listedFolder);
    if (refusedWhileRecorded({folder.filePath(oldName)}))
        return false;
    QString error;
    if (!renameNoReplace(folder.filePath(oldName), folder.filePath(newName), &error)) {
        showError(QStringLiteral("Could not rename %1 to %2: %3.")
                      .arg(quoted(oldName), quoted(newName), error),
                  QStringLiteral("Rename"));
        return false;
    }
    entry.audiofile = newName;
    m_model->rowChanged(row);
    return true;
}

void Tplaylist::DeleteActionExecute() {
    if (VST->editing())
        return;
    const int row = selectedRow();
    if (row < 0)
        return;
    const QString path = GetSelectedFile();
    if (refusedWhileRecorded({path}))
        return;
    m_host.stopPlayback();
    QString error;
    if (!moveToTrash(path, &error) && fileExists(path)) {
        showError(QStringLiteral("Could not move %1 to the trash: %2. The file was not deleted.")
                      .arg(quoted(QFileInfo(path).fileName()), error),
                  QStringLiteral("Delete"));
        return;
    }
    const int next = row + 1 < m_model->rowCount() ? row : row - 1;
    VST->setAutoScroll(false);
    m_model->removeRow(row);
    selectRow(next);
    enablecontrols(selectedRow() >= 0);
    VST->setAutoScroll(true);
}

void Tplaylist::SaveAsActionExecute() {
    if (selectedRow() < 0)
        return;
    const QString folder =
        chooseFolder ? chooseFolder(config.archive)
                     : QFileDialog::getExistingDirectory(this, QStringLiteral("Select Directory"),
                                                         config.archive);
    if (!folder.isEmpty())
        saveCopyTo(folder);
}

void Tplaylist::saveCopyTo(const QString& folder) {
    const QString source = GetSelectedFile();
    if (source.isEmpty())
        return;
    const QString target = QDir(folder).filePath(QFileInfo(source).fileName());
    // The copy replaces the target by a rename: a recorder still writing it would go on
    // into a file that no longer has a name. Reading the source is harmless.
    if (refusedWhileRecorded({target}))
        return;
    m_host.stopPlayback();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QString error;
    const CopyResult result = copyFileKeepingDate(source, target, &error);
    QApplication::restoreOverrideCursor();
    if (result == CopyResult::Failed)
        showError(QStringLiteral("Could not copy %1 to %2: %3")
                      .arg(quoted(QFileInfo(source).fileName()), quoted(folder), error),
                  QStringLiteral("Save as"));
}

void Tplaylist::VSTDblClick() {
    if (selectedRow() < 0 || !m_host.playButtonEnabled())
        return;
    const QString file = GetSelectedFile();
    m_host.setLastfile(file);
    m_host.playfile(file);
}

void Tplaylist::StopActionExecute() {
    m_host.StopClick();
}

void Tplaylist::ExitActionExecute() {
    close();
}

void Tplaylist::showError(const QString& text, const QString& caption) {
    messages().show(text, caption, MessageIcon::Error, MessageButtons::Ok);
}

// --- Sharing ----------------------------------------------------------------------------

void Tplaylist::SendActionExecute() {
    if (selectedRow() < 0)
        return;
    clm = true;
    // The hand-off reports on this thread, and only while this window exists.
    tmail = std::make_unique<email>(GetSelectedFile(), this, [this](int) { MailDone(); });
}

void Tplaylist::MailDone() {
    clm = false;
}

void Tplaylist::itunesActionExecute() {
    if (selectedRow() < 0)
        return;
    sendToMediaPlayer(GetSelectedFile(), this);
}

void Tplaylist::EditActionExecute() {
    if (selectedRow() < 0)
        return;
    const QString path = GetSelectedFile();
    if (refusedWhileRecorded({path}))
        return;
    editRecording(path, [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); });
}
