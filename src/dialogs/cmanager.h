#pragma once

#include "common/waveformat.h"
#include "platform/audio/audioplatform.h"

#include <QDialog>

#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TWASAPISource;

/// What the settings dialog changes outside itself: the main window. Window thread only.
class SettingsHost {
public:
    virtual ~SettingsHost() = default;
    /// Keeps the main window above others, or not, without moving or activating it.
    virtual void setStayOnTop(bool onTop) = 0;
    /// Refreshes the format, bitrate and indicator displays.
    virtual void showinfo() = 0;
    /// Registers the global hot keys ("Disable HotKeys" unticked).
    virtual void loadhotkeys() = 0;
    /// Unregisters them all ("Disable HotKeys" ticked).
    virtual void closehotkeys() = 0;
    /// Shows or hides the main window's file-size display.
    virtual void setFileSizeVisible(bool visible) = 0;
    /// Whether an update check can run; without one the About page's button is disabled.
    virtual bool canCheckForUpdates() const = 0;
    /// Runs the update check, telling the user also when there is no newer version.
    virtual void checkForUpdates() = 0;
};

/// The settings dialog "Settings": General, Format, Splitter and About pages. Created once,
/// hidden, at the end of the main window's start-up; its creation starts the capture and
/// applies the settings that act outside the dialog. Most controls write their setting at
/// once; the format, quality, split-time and short-file values only through "&Close".
/// Window thread only.
class Tcmanager : public QDialog {
    Q_OBJECT

public:
    Tcmanager(TWASAPISource& source, const tWAVEFORMATEX& PCM, SettingsHost& host,
              QWidget* parent = nullptr);

    /// Runs once, right after construction: fills the controls from the settings, starts
    /// capture on the default endpoint in the recorder's format, applies "Always stay on
    /// top" to the main window and rewrites an existing autostart entry with this program's
    /// current path.
    void FormCreate();

    /// The approximate bitrate in kbit/s shown for a Vorbis quality step 0..10.
    static int32_t oggApproxKbps(int32_t step);
    /// The text of the silence-length field for a position of its slider (tenths).
    static QString silenceText(int position);

    // Handlers.
    void closebuttonClick();
    void navChange();
    void navCollapsing(QTreeWidgetItem* item);
    void codecsChange();
    void bitrateChange();
    void oggqualityChange();
    void TrashBarChange();
    void SilenceBarChange();
    void VoxBoxClick();
    void voxdeleteClick();
    void trackboxClick();
    void trackplayerChange();
    void recordfromChange();
    void autoClick();
    void autoconfigClick();
    void stayClick(bool checked);
    void minimizedClick();
    void winbootClick();
    void pauserecClick();
    void hotkeysClick();
    void askClick();
    void autoCheckupdatesClick();
    void BitBtn1Click();
    void BitBtn2Click();
    void updatesButtonClick();

    /// The folder chooser: (caption, start folder) -> the chosen folder, empty when the user
    /// cancels. A dialog of the desktop unless replaced (tests replace it).
    std::function<QString(const QString&, const QString&)> chooseFolder;
    /// Opens a folder in the desktop's file manager; failures are not reported.
    std::function<void(const QString&)> openFolder;
    /// Shows the naming rules window modally; replaced by tests.
    std::function<void()> showNamingRules;
    /// The media players running now, as (D-Bus name, name to show), asked each time the
    /// player list opens or takes the focus. Unset: only "Any player" and the stored player.
    std::function<QList<QPair<QString, QString>>()> mediaPlayers;
    /// Fills the player list anew from `mediaPlayers`, keeping the stored player listed and
    /// selected.
    void refreshPlayers();

    /// The applications playing sound now, asked each time the "Record from:" list opens or
    /// takes the focus. Unset: only everything, and the stored application.
    std::function<std::vector<audio::PlayingApplication>()> playingApplications;
    /// Fills the "Record from:" list anew, keeping the stored application listed and
    /// selected.
    void refreshApplications();

    // The controls, for the program's tests.
    QTreeWidget* nav = nullptr;
    QStackedWidget* pages = nullptr;
    QPushButton* closebutton = nullptr;
    // General.
    /// "Record from:"; item data: (name, program) of the application, empty for everything.
    QComboBox* recordfrom = nullptr;
    QCheckBox* autobox = nullptr; ///< "Enable auto-name system"
    QPushButton* autoconfig = nullptr;
    QLineEdit* destfolder = nullptr;
    QToolButton* BitBtn1 = nullptr;
    QToolButton* BitBtn2 = nullptr;
    QCheckBox* stay = nullptr;
    QCheckBox* minimized = nullptr;
    QCheckBox* winboot = nullptr;
    QCheckBox* pauserec = nullptr;
    QCheckBox* hotkeys = nullptr;
    QCheckBox* ask = nullptr;
    QCheckBox* autoCheckupdates = nullptr;
    // Format.
    QComboBox* codecs = nullptr;
    QStackedWidget* Notebook2 = nullptr;
    QSlider* bitrate = nullptr;
    QLabel* mp3bitrate = nullptr;
    QSlider* oggquality = nullptr;
    QLabel* Label15 = nullptr;
    QSlider* flaclevel = nullptr;
    // Splitter.
    QRadioButton* voxbox = nullptr;
    QRadioButton* splitteron = nullptr;
    QRadioButton* nosplit = nullptr;
    QSlider* TrashBar = nullptr;
    QLineEdit* threshold1 = nullptr;
    QSlider* SilenceBar = nullptr;
    QLineEdit* silenceedit = nullptr;
    QSpinBox* timelimit = nullptr;
    QSpinBox* timelimitsec = nullptr;
    QCheckBox* voxdelete = nullptr;
    QSpinBox* voxdeletetime = nullptr;
    QCheckBox* trackbox = nullptr; ///< "Split tracks when the media player changes track"
    QLabel* trackplayerLabel = nullptr;
    QComboBox* trackplayer = nullptr; ///< item data: the D-Bus name, empty for any player
    // About.
    QLabel* version = nullptr;
    QPushButton* updatesButton = nullptr;

private:
    QWidget* buildGeneralPage();
    QWidget* buildFormatPage();
    QWidget* buildSplitterPage();
    QWidget* buildAboutPage();
    void connectHandlers();

    TWASAPISource& m_source;
    tWAVEFORMATEX m_PCM;
    SettingsHost& m_host;
};
