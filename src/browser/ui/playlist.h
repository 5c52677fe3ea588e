#pragma once

#include "browser/audiotag.h"
#include "browser/listing.h"
#include "browser/tagbinding.h"

#include <QModelIndex>
#include <QPoint>
#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class FolderLister;
class FolderTreeModel;
class email;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeView;
class RecordingsModel;
class RecordingsView;
class TagWorker;
struct ListingSlice;

/// What the browser needs of the main window. The main window implements it; tests use a
/// fake. Window thread only.
class BrowserHost {
public:
    virtual ~BrowserHost() = default;
    /// Starts playing `file` in the main window's player.
    virtual void playfile(const QString& file) = 0;
    /// The main window's Stop command.
    virtual void StopClick() = 0;
    virtual bool playButtonEnabled() const = 0;
    /// The file the main window's Play button plays.
    virtual void setLastfile(const QString& file) = 0;
    /// 2 while the main window is a player.
    virtual int workmode() const = 0;
    /// The path of the playback stream's file while it plays or is paused; empty when
    /// there is no stream or it has stopped.
    virtual QString activePlaybackFile() const = 0;
    /// Stops the playback stream (it stays open); nothing when there is none.
    virtual void stopPlayback() = 0;
};

/// The recordings browser "Recording Browser": a folder tree, the recordings of the chosen
/// folder with their tags, a tag editor, and the file commands. Created hidden at start-up;
/// closing only hides it. Window thread only.
class Tplaylist : public QWidget {
    Q_OBJECT

public:
    /// `binding` is the tag library (null: load libtagvessel.so the usual way); `mainWindow`
    /// is the window the browser opens centred on.
    Tplaylist(BrowserHost& host, std::unique_ptr<TagBinding> binding = nullptr,
              QWidget* mainWindow = nullptr);
    ~Tplaylist() override;

    /// Empties the fields, sets the sort state and the actions; runs once after creation.
    void FormCreate();
    /// Moves the tree to the output folder and lists it; sorts; sets the actions. The
    /// main window runs it again when a recording ends while the browser is visible.
    void FormShow();
    /// Shows the window (centred on the main window the first time) and runs FormShow.
    void showBrowser();

    /// Lists the selected folder again (off the window thread; listingFinished() follows).
    void RefreshActionExecute();
    /// Reads the places and the folders the tree has read again (the Refresh action, with a
    /// listing); the selection stays, or goes to the nearest folder that still exists.
    void refreshTree();
    /// Whether a listing is still reading the folder.
    bool listing() const;
    /// Moves the folder tree to `folder`, expanding down to it under the recordings folder's
    /// place when it is inside it (else the deepest place holding it); its selection change
    /// lists it. Nothing when `folder` is not a directory.
    void selectFolder(const QString& folder);
    /// The one thread that calls the tag library; others who tag go through it too.
    TagWorker& tagWorker() { return *m_tags; }
    /// The folder the tree has selected (empty when none).
    QString selectedFolder() const;

    /// The selected recording's full path, selecting the first row when none is selected;
    /// empty when the list is empty.
    QString GetSelectedFile();
    void enablecontrols(bool t);
    void validatecontrols();

    // Tags.
    void ClearAll();
    void ShowTag();
    void filltags(const audiotag& tag);
    audiotag savetags() const;
    void CopyButtonClick();
    void PasteButtonClick();
    void SaveTagActionExecute();
    void RemoveTagActionExecute();

    // File commands.
    void RenameActionExecute();
    /// Renames row `row` to `text` (the in-place edit's accepted text). False when refused.
    bool renameRow(int row, const QString& text);
    /// Whether row `row`'s name may be edited now (not while the player has that file).
    bool VSTEditing(int row) const;
    void DeleteActionExecute();
    void SaveAsActionExecute();
    /// Copies the selected file into `folder` (the second half of "Save as...").
    void saveCopyTo(const QString& folder);
    /// The play step: plays the selected recording in the main window.
    void VSTDblClick();
    void StopActionExecute();
    void ExitActionExecute();

    // Sharing.
    void SendActionExecute();
    void MailDone();
    void itunesActionExecute();
    void EditActionExecute();

    /// The header click on `column` (-1: no column).
    void VSTHeaderClick(int column);

    // State, for the main window and tests.
    const std::vector<TMCRS>& rows() const;
    /// The selected row, or -1.
    int selectedRow() const;
    void selectRow(int row);
    QString statusText() const;
    int sortcolumn() const { return m_sortcolumn; }
    bool sorttoggle(int column) const { return m_sorttoggles.at(static_cast<size_t>(column)); }
    const audiotag& clipboardTag() const { return clipboard; }
    bool mailRunning() const { return clm; }

    /// Replaces the folder picker of "Save as..." (tests).
    std::function<QString(const QString& start)> chooseFolder;

    // Parts, for tests.
    QAction* RenameAction = nullptr;
    QAction* SaveAsAction = nullptr;
    QAction* DeleteAction = nullptr;
    QAction* ExitAction = nullptr;
    QAction* PlayAction = nullptr;
    QAction* StopAction = nullptr;
    QAction* SendAction = nullptr;
    QAction* RefreshAction = nullptr;
    QAction* SaveTagAction = nullptr;
    QAction* RemoveTagAction = nullptr;
    QAction* EditAction = nullptr;
    QAction* itunesAction = nullptr;
    QPushButton* CopyButton = nullptr;
    QPushButton* PasteButton = nullptr;
    QPushButton* ClearButton = nullptr;
    std::array<QLineEdit*, 8> tagFields{};
    QTreeView* folderTree = nullptr;
    RecordingsView* VST = nullptr;
    QMenu* listMenu = nullptr;

signals:
    /// A listing has put its rows into the list (sorted, status text set).
    void listingFinished();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildActions();
    void buildLayout();
    void sliceArrived(const ListingSlice& slice);
    void listingDone();
    void sortList(int column, bool descending);
    void treeSelectionChanged();
    void showError(const QString& text, const QString& caption);
    /// The full path of row `row`.
    QString rowPath(int row) const;

    BrowserHost& m_host;
    QPointer<QWidget> m_mainWindow;
    std::unique_ptr<TagWorker> m_tags;
    std::unique_ptr<FolderLister> m_lister;
    FolderTreeModel* m_folders = nullptr;
    RecordingsModel* m_model = nullptr;
    QLabel* m_status = nullptr;

    audiotag clipboard;
    bool clm = false;
    std::unique_ptr<email> tmail; ///< the mail hand-off started last
    QPoint DragPoint;
    int m_sortcolumn = 0;
    std::array<bool, BrowserColumnCount> m_sorttoggles{};
    QString m_listedFolder;       ///< the folder the rows are from
    std::vector<TMCRS> m_pending; ///< rows of the running listing
    QStringList m_failed;         ///< files the running listing could not read
    bool m_shownOnce = false;
    bool m_treeRefreshing = false; ///< selection changes while the tree is re-read list nothing
};
