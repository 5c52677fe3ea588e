#pragma once

#include "browser/ui/playlist.h"
#include "dialogs/cmanager.h"
#include "platform/desktop/windowcover.h"
#include "recorder/recorder.h"
#include "recorder/recorderview.h"

#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QRegion>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class CaptureThreadFactory;
class Clock;
class iceVUmeter;
class PlaybackEngine;
class ProcessLauncher;
class QMenu;
class QSystemTrayIcon;
class HotKeyBackend;
class RecordingJournal;
class MediaPlayerWatcher;
class TrackFollower;
class THotKeyManager;
class Tbmptimedisplay;
class TIceSlider;
class TiceBtn;
class TScheduler;
class Tshedule;
class TSpectrumDisplay;
class TTrigger;
class TWASAPISource;
class WindowThreadHandoff;

namespace audio {
class AudioEngine;
}

/// What the main window uses and does not own. Everything must outlive the window.
struct MainFormServices {
    audio::AudioEngine& engine;
    PlaybackEngine& playback;
    Clock& clock;
    WindowThreadHandoff& handoff;

    /// Registers the global hot keys; none (every key unregistered, silently) when null.
    HotKeyBackend* hotKeys = nullptr;

    /// Services that later parts of the program provide; each may be left empty.
    std::function<void()> silentUpdateCheck;
    /// Runs the update check and tells the user also when there is no newer version.
    std::function<void()> updateCheck;
    /// Sends an error report (the text of an unhandled exception).
    std::function<void(const QString&)> reportError;
    /// Whether a notification area can take the window's icon now; empty: ask the desktop.
    std::function<bool()> trayAvailable;
    /// Starts and closes the applications of scheduled events; null: the system's.
    ProcessLauncher* launcher = nullptr;
};

/// The main window: a borderless skinned window holding every control of the recorder, the
/// recorder's view, the program's start-up and exit, monitoring and playback.
/// Window thread only.
class TMainForm : public QWidget, public RecorderView, public SettingsHost, public BrowserHost {
    Q_OBJECT

public:
    /// The step of the spectrum's analysis and the meter's pace, in milliseconds.
    static constexpr int VisualInterval = 15;
    /// Analysis steps per screen frame: a frame every 15 ms. Each frame repaints only what
    /// moved, so the full pace costs little more than a slower one did.
    static constexpr int VisualStepsPerFrame = 1;
    static constexpr int PlayBufferSize = 220500;

    explicit TMainForm(MainFormServices services, QWidget* parent = nullptr);
    ~TMainForm() override;

    /// The start-up sequence. False when the program is to end without showing the window
    /// (no audio endpoint; the user has been told).
    bool FormCreate();
    /// Shows the window as start-up leaves it: normal, or minimised when the settings ask.
    void showAfterStart();

    // Exit.
    /// Asks before stopping a recording (when the settings want it); false keeps running.
    bool FormCloseQuery();
    /// Stores and saves everything and ends capture. Runs once.
    void FormClose();
    /// Closes the window with the save, without the question: for SIGTERM and SIGHUP, which
    /// cannot be answered.
    void closeWithoutQuestion();
    /// The session is ending (log-off, shut-down): closes the window as the user would,
    /// question included. False when the close was refused, so the session may be told.
    bool sessionEnding();

    // Monitoring and playback.
    void tmrvisualTimer();
    void showinfo() override;
    void playfile(const QString& filename) override;
    void PlayButtonClick();
    /// The end notification of playback, on the window thread.
    void playbackEnded(PlayStream stream);
    void volumemainChange();
    void SliderChanged();
    void spcClick();

    void HelpClick();
    void minbuttonClick();
    void ExitButtonClick();

    // The tray.
    /// Minimises into the tray, or onto the task bar where there is no tray.
    void minimiseApplication();
    /// Hides the window into the tray icon.
    void ApplicationEvents1Minimize();
    /// Brings the window back from the tray.
    void TrayIcon1Click();
    /// Shows the window normally and in front, from wherever it is (a second start asks this).
    void bringToFront();
    bool inTray() const { return m_inTray; }

    /// Shows the settings dialog.
    void setbuttonClick();
    /// Creates the scheduler window, hidden; runs once, after FormCreate.
    void createSchedulerWindow();
    /// Shows the scheduler window.
    void schedbuttonClick();
    /// Creates the recordings browser, hidden; runs once, after the scheduler window.
    void createBrowserWindow();
    /// Shows the recordings browser.
    void folderbuttonClick();

    // The browser's host.
    void StopClick() override;
    bool playButtonEnabled() const override;
    void setLastfile(const QString& file) override;
    int workmode() const override;
    QString activePlaybackFile() const override;
    void stopPlayback() override;

    // Settings host.
    void setStayOnTop(bool onTop) override;
    void loadhotkeys() override;
    void closehotkeys() override;
    void setFileSizeVisible(bool visible) override;
    bool canCheckForUpdates() const override;
    void checkForUpdates() override;

    // Global hot keys.
    void HotKeyManager1HotKeyPressed(quint32 HotKey, quint16 Index);
    THotKeyManager* hotKeyManager() const { return HotKeyManager1.get(); }
    quint16 HotKeyStart = 0;
    quint16 HotKeyPause = 0;
    quint16 HotKeyStop = 0;
    quint16 HotKeySettings = 0;
    quint16 HotKeyHelp = 0;
    quint16 HotKeyFolder = 0;
    quint16 HotKeyPlay = 0;

    // The recorder's view.
    void setButtonEnabled(RecorderButton button, bool enabled) override;
    void showStatus(const QString& text, Rgb colour, int trayIcon) override;
    void setFileLabel(const QString& text, const QString& hint) override;
    void setTimeText(const QString& text) override;
    void setLevelSlider(int position) override;
    void setPositionSlider(int position) override;
    void resetSpectrum() override;
    QString askSaveFileName(const QString& filter, const QString& defaultExtension,
                            const QString& initialFolder) override;
    MessageResult messageBox(const QString& text, const QString& caption, MessageIcon icon,
                             MessageButtons buttons) override;
    void refreshBrowser() override;

    // Parts, for the program's tests.
    TRecorder& recorder() { return *m_recorder; }
    TWASAPISource* captureSource() const { return m_source.get(); }
    Tcmanager* settingsDialog() const { return m_cmanager.get(); }
    TScheduler& scheduler() { return *m_scheduler; }
    /// The scheduler window "Recording Schedule"; null before start-up ends and after exit.
    std::unique_ptr<Tshedule> shedule;
    /// The recordings browser "Recording Browser"; null before start-up ends and after exit.
    std::unique_ptr<Tplaylist> playlist;
    TiceBtn* Start = nullptr;
    TiceBtn* Stop = nullptr;
    TiceBtn* pause = nullptr;
    TiceBtn* PlayButton = nullptr;
    TiceBtn* folderbutton = nullptr;
    TiceBtn* schedbutton = nullptr;
    TiceBtn* setbutton = nullptr;
    TiceBtn* helpbutton = nullptr;
    TiceBtn* minbutton = nullptr;
    TiceBtn* exitbutton = nullptr;
    QLabel* fname = nullptr;
    QLabel* fstatus = nullptr;
    QLabel* ffile = nullptr;
    QLabel* dformat = nullptr;
    QLabel* dbitrate = nullptr;
    TTrigger* dvox = nullptr;
    TTrigger* dtimer = nullptr;
    Tbmptimedisplay* timebox = nullptr;
    TSpectrumDisplay* spc = nullptr;
    iceVUmeter* VUmeter = nullptr;
    TIceSlider* Slider = nullptr;
    TIceSlider* volumemain = nullptr;
    QMenu* popupMenu = nullptr;
    QSystemTrayIcon* TrayIcon1 = nullptr;
    /// The tray pictures of the statuses Ready, Recording, Listen... and Pause.
    std::array<QIcon, 4> iconlist;
    QTimer tmrvisual;
    /// Whether other windows cover this one wholly: then no frame is drawn.
    WindowCoverWatch cover;
    int trayIconIndex() const { return m_trayIcon; }
    /// The pixels of `picture` that are not fully transparent: the window's shape.
    static QRegion opaqueRegion(const QImage& picture);
    /// The skin picture as drawn, with the see-through colour made transparent.
    const QImage& background() const { return m_background; }
    /// Text of the elapsed time in recorder mode: "hh:nn:ss", wrapping after 24 hours.
    static QString recorderTimeText(TDateTime elapsed);
    /// Text of a playing position: hours are not limited to two digits.
    static QString playerTimeText(int64_t seconds);

signals:
    /// The window has been shown for the first time.
    void firstShown();
    /// The window has closed with its full save: the program may end.
    void closed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildControls();
    void buildMenu();
    TiceBtn* makeButton(const QString& name, QPoint at);
    QLabel* makeLabel(QRect geometry, Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter);
    void placeAtStart();
    void moveSnapped(QPoint position);
    void updateVisualTimer();
    void releaseCapture();
    /// Finishes the file being recorded without a message box; a failure goes to stderr.
    void finishRecordingForExit();
    /// Whether something lower on the window thread's stack may still use the capture source.
    bool captureInUseBelow() const;
    bool trayAvailable() const;
    void checkTrayStillThere();
    /// Splits recordings at the session media players' track changes when that is on.
    void followMediaPlayers();
    /// A message box that does not hold up the caller (captured blocks wait for their handler).
    void showWithoutWaiting(QMessageBox::Icon icon, const QString& text);
    void repairInterruptedRecordings();
    /// Leaves player mode (or stays out of it) with the window Ready for a recording.
    void showReadyAfterPlaying();

    MainFormServices m_services;
    std::unique_ptr<CaptureThreadFactory> m_threads;
    std::unique_ptr<TWASAPISource> m_source;
    std::unique_ptr<RecordingJournal> m_journal; ///< outlives the recorder, which uses it
    std::unique_ptr<TRecorder> m_recorder;
    std::unique_ptr<Tcmanager> m_cmanager;
    /// The session's media players, for splitting at their track changes (and the settings'
    /// list of players); they refer to the recorder, so they go before it.
    std::unique_ptr<MediaPlayerWatcher> m_players;
    std::unique_ptr<TrackFollower> m_trackFollower;
    std::unique_ptr<ProcessLauncher> m_ownLauncher;
    std::unique_ptr<TScheduler> m_scheduler;
    std::unique_ptr<THotKeyManager> HotKeyManager1;
    std::unique_ptr<uint8_t[]> playbuffer;
    QImage m_background;
    int m_trayIcon = 0;
    int meterticks = 3;
    static constexpr TDateTime SizeTextInterval = 0.25 / 86400; ///< a quarter of a second
    TDateTime m_sizeShownAt = 0.0;
    /// The elapsed time's text and the whole second it shows.
    QString m_timeText;
    int64_t m_timeTextSecond = -1;
    bool m_sizeTextPending = false;
    bool m_created = false;
    bool m_closed = false;
    bool m_skipQuestion = false;
    bool m_shownOnce = false;
    bool m_inTray = false;
    bool m_choosingFile = false; ///< the Play button's file dialog is open
    QTimer m_trayWatch;
    bool dragging = false;
    QPoint dragx; ///< where the button went down, in window coordinates
};
