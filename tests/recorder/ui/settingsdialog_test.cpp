// The settings dialog inside the running main window: what its creation does, the pages'
// texts and clamping, the values that only "&Close" stores, and the effects on the window.
#include "recorder/ui/mainformfixture.h"
#include "support/qtprint.h"

#include "controls/trigger.h"
#include "dialogs/cmanager.h"
#include "platform/desktop/hotkeys.h"
#include "settings/desktop.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

namespace {

constexpr quint32 CtrlAlt = HotKeyCtrl | HotKeyAlt;

class SettingsDialogTest : public MainFormTest {
protected:
    Tcmanager& dialog() { return *form->settingsDialog(); }

    QString autostartEntry() const {
        return m_config.path() + QStringLiteral("/autostart/tallisk.desktop");
    }

    QString readAutostartEntry() const {
        QFile file(autostartEntry());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static QString currentProgram() {
        return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    }
};

TEST_F(SettingsDialogTest, CreationFillsThePagesStartsCaptureAndActsOnTheMainWindow) {
    QCoreApplication::setApplicationVersion(QStringLiteral("2.5.1"));
    config.stayontop = true;
    config.hotkeys = false;
    config.codec = 1;
    config.bitrate = 5;
    config.oggquality = 6;
    config.flaclevel = 7;
    config.autoname = false;
    config.trashold = 0;     // below the slider: taken as 1
    config.silence = 0.25f;  // 2.5 tenths: the half goes to the even 2
    config.timelimit = 3725; // 62 min 5 s
    config.voxautodelete = false;
    config.voxautodeletetime = 250;
    config.vox = false;
    config.splitteron = true;
    config.pauserecord = true;
    config.minstartup = true;
    writeSettings();
    // An autostart entry left by the program at its old place.
    ASSERT_TRUE(QDir().mkpath(m_config.path() + QStringLiteral("/autostart")));
    {
        QFile entry(autostartEntry());
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nExec=\"/opt/old/orvanta\"\n");
    }

    ASSERT_TRUE(create());
    Tcmanager& d = dialog();
    EXPECT_EQ(loopbackStreams(), 1) << "capture starts exactly once";
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Settings"));
    EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint))
        << "on top from the settings without the dialog being shown";
    EXPECT_TRUE(readAutostartEntry().contains(desktopExecValue(currentProgram())))
        << readAutostartEntry().toStdString();
    EXPECT_FALSE(readAutostartEntry().contains(QStringLiteral("/opt/old")));
    EXPECT_TRUE(d.winboot->isChecked());
    EXPECT_EQ(d.version->text(), QStringLiteral("Version: 2.5.1"));
    EXPECT_FALSE(d.updatesButton->isEnabled()) << "no update check in this program";

    // The tree: four entries, each showing its page.
    ASSERT_EQ(d.nav->topLevelItemCount(), 4);
    const QStringList entries = {QStringLiteral("General"), QStringLiteral("Format"),
                                 QStringLiteral("Splitter"), QStringLiteral("About")};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(d.nav->topLevelItem(i)->text(0), entries[i]);
        d.nav->setCurrentItem(d.nav->topLevelItem(i));
        EXPECT_EQ(d.pages->currentIndex(), i);
    }

    // General.
    EXPECT_TRUE(d.stay->isChecked());
    EXPECT_FALSE(d.hotkeys->isChecked());
    EXPECT_TRUE(d.pauserec->isChecked());
    EXPECT_TRUE(d.minimized->isChecked());
    EXPECT_FALSE(d.autobox->isChecked());
    EXPECT_FALSE(d.autoconfig->isEnabled());
    EXPECT_EQ(d.destfolder->text(), m_out);

    // Format: the codec's sub-page and the quality labels of the stored values.
    EXPECT_EQ(d.codecs->currentText(), QStringLiteral("Ogg Vorbis"));
    EXPECT_EQ(d.Notebook2->currentIndex(), 1);
    EXPECT_EQ(d.bitrate->value(), 5);
    EXPECT_EQ(d.mp3bitrate->text(), QStringLiteral("Bitrate: ~ 128Kbit"));
    EXPECT_EQ(d.oggquality->value(), 6);
    EXPECT_EQ(d.Label15->text(), QStringLiteral("Bitrate: ~ 192Kbit"));
    EXPECT_EQ(d.flaclevel->value(), 7);

    // Splitter.
    EXPECT_TRUE(d.splitteron->isChecked());
    EXPECT_FALSE(config.vox);
    EXPECT_TRUE(config.splitteron);
    EXPECT_TRUE(form->dvox->Checked());
    EXPECT_EQ(d.TrashBar->value(), 1);
    EXPECT_EQ(config.trashold, 1);
    EXPECT_EQ(d.threshold1->text(), QStringLiteral("-90 dB"));
    EXPECT_EQ(d.SilenceBar->value(), 2);
    EXPECT_EQ(d.silenceedit->text(), QStringLiteral("0.2 sec"));
    EXPECT_EQ(d.timelimit->value(), 62);
    EXPECT_EQ(d.timelimitsec->value(), 5);
    EXPECT_FALSE(d.voxdelete->isChecked());
    EXPECT_FALSE(d.voxdeletetime->isEnabled());
    EXPECT_EQ(d.voxdeletetime->value(), 100) << "a stored value beyond the field is clamped";

    // Unticking the autostart box removes the entry, ticking writes it again.
    d.winboot->click();
    EXPECT_FALSE(QFile::exists(autostartEntry()));
    d.winboot->click();
    EXPECT_TRUE(isautostart());
    // Unticking stay-on-top takes the main window out of the top layer at once.
    d.stay->click();
    EXPECT_FALSE(config.stayontop);
    EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(SettingsDialogTest, SlidersShowAndStoreTheirValuesAtBothEnds) {
    ASSERT_TRUE(create());
    Tcmanager& d = dialog();
    // MP3: the far left is the lowest bitrate (index 10), the far right the highest.
    d.bitrate->setValue(0);
    EXPECT_EQ(d.mp3bitrate->text(), QStringLiteral("Bitrate: ~ 56Kbit"));
    d.closebuttonClick();
    EXPECT_EQ(config.bitrate, 10);
    d.bitrate->setValue(10);
    EXPECT_EQ(d.mp3bitrate->text(), QStringLiteral("Bitrate: ~ 320Kbit"));
    d.closebuttonClick();
    EXPECT_EQ(config.bitrate, 0);
    d.oggquality->setValue(10);
    EXPECT_EQ(d.Label15->text(), QStringLiteral("Bitrate: ~ 500Kbit"));
    d.oggquality->setValue(0);
    EXPECT_EQ(d.Label15->text(), QStringLiteral("Bitrate: ~ 64Kbit"));

    // The silence length and level act at once.
    d.SilenceBar->setValue(1);
    EXPECT_FLOAT_EQ(config.silence, 0.1f);
    EXPECT_EQ(d.silenceedit->text(), QStringLiteral("0.1 sec"));
    d.SilenceBar->setValue(600);
    EXPECT_FLOAT_EQ(config.silence, 60.0f);
    EXPECT_EQ(d.silenceedit->text(), QStringLiteral("60.0 sec"));
    for (const auto& [level, text] :
         {std::pair{1635, "-26 dB"}, std::pair{32768, "0 dB"}, std::pair{1, "-90 dB"}}) {
        d.TrashBar->setValue(level);
        EXPECT_EQ(config.trashold, level);
        EXPECT_EQ(d.threshold1->text(), QString::fromLatin1(text));
    }

    // A split time of nothing is stored as one second; the minutes cannot overflow it.
    d.timelimit->setValue(0);
    d.timelimitsec->setValue(0);
    d.closebuttonClick();
    EXPECT_EQ(config.timelimit, 1);
    d.timelimit->setValue(std::numeric_limits<int>::max());
    d.timelimitsec->setValue(59);
    d.closebuttonClick();
    EXPECT_GT(config.timelimit, 0);
    EXPECT_EQ(config.timelimit % 60, 59);
    d.timelimit->setValue(-5);
    EXPECT_EQ(d.timelimit->value(), 0);
}

TEST_F(SettingsDialogTest, TitleBarCloseKeepsTheDeferredValuesUntilALaterClose) {
    config.codec = 0;
    config.timelimit = 600;
    config.voxautodeletetime = 10;
    config.askconfirmation = false;
    writeSettings();
    ASSERT_TRUE(create());
    const TConfig before = config;
    Tcmanager& d = dialog();

    // The button, the menu and the hot key all show the dialog.
    form->setbuttonClick();
    EXPECT_TRUE(d.isVisible());
    d.hide();
    const QList<QAction*> actions = form->popupMenu->actions();
    ASSERT_FALSE(actions.isEmpty());
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Settings..."));
    actions[0]->trigger();
    EXPECT_TRUE(d.isVisible());
    d.hide();
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'O'));
    EXPECT_TRUE(d.isVisible());

    d.codecs->setCurrentIndex(3);
    EXPECT_EQ(d.Notebook2->currentIndex(), 3);
    d.flaclevel->setValue(2);
    d.oggquality->setValue(9);
    d.bitrate->setValue(1);
    d.timelimit->setValue(0);
    d.timelimitsec->setValue(30);
    d.voxdeletetime->setValue(42);
    d.ask->click(); // stored at once
    d.close();      // the title bar's close button
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(config.askconfirmation);
    EXPECT_EQ(config.codec, before.codec);
    EXPECT_EQ(config.flaclevel, before.flaclevel);
    EXPECT_EQ(config.oggquality, before.oggquality);
    EXPECT_EQ(config.bitrate, before.bitrate);
    EXPECT_EQ(config.timelimit, 600);
    EXPECT_EQ(config.voxautodeletetime, 10);
    EXPECT_FALSE(form->ffile->isHidden());
    EXPECT_EQ(form->dformat->text(), QStringLiteral("MP3"));

    // Shown again, the controls still hold the changes, and "&Close" stores them.
    form->setbuttonClick();
    EXPECT_EQ(d.codecs->currentIndex(), 3);
    EXPECT_EQ(d.timelimitsec->value(), 30);
    d.closebutton->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(config.codec, 3);
    EXPECT_EQ(config.flaclevel, 2);
    EXPECT_EQ(config.oggquality, 9);
    EXPECT_EQ(config.bitrate, 9);
    EXPECT_EQ(config.timelimit, 30);
    EXPECT_EQ(config.voxautodeletetime, 42);
    EXPECT_TRUE(form->ffile->isHidden()) << "FLAC has no size display";
    EXPECT_EQ(form->dformat->text(), QStringLiteral("FLAC"));
    EXPECT_EQ(form->dbitrate->text(), QStringLiteral("VBR"));

    d.codecs->setCurrentIndex(2);
    d.closebuttonClick();
    EXPECT_FALSE(form->ffile->isHidden());
    EXPECT_EQ(form->dformat->text(), QStringLiteral("WAV"));
}

TEST_F(SettingsDialogTest, DisableHotKeysActsAtOnceAndBringsTheKeysBack) {
    ASSERT_TRUE(create());
    Tcmanager& d = dialog();
    ASSERT_EQ(hotKeys.registered().size(), 7u);
    d.hotkeys->click();
    EXPECT_TRUE(config.hotkeys);
    EXPECT_TRUE(hotKeys.registered().empty());
    EXPECT_FALSE(hotKeys.press(CtrlAlt, 'O'));
    EXPECT_FALSE(d.isVisible());
    d.hotkeys->click();
    EXPECT_FALSE(config.hotkeys);
    EXPECT_EQ(hotKeys.registered().size(), 7u);
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'O'));
    EXPECT_TRUE(d.isVisible());

    // The check boxes that only copy their state.
    const std::pair<QCheckBox*, bool*> copies[] = {
        {d.minimized, &config.minstartup},    {d.pauserec, &config.pauserecord},
        {d.ask, &config.askconfirmation},     {d.autoCheckupdates, &config.checkupdates},
        {d.voxdelete, &config.voxautodelete}, {d.autobox, &config.autoname}};
    for (const auto& [box, field] : copies) {
        const bool was = *field;
        box->click();
        EXPECT_EQ(*field, !was) << box->text().toStdString();
        EXPECT_EQ(box->isChecked(), !was);
    }
    EXPECT_EQ(d.voxdeletetime->isEnabled(), config.voxautodelete);
    EXPECT_EQ(d.autoconfig->isEnabled(), config.autoname);

    // The splitting choice writes both fields and lights the main window's indicator.
    d.nosplit->click();
    EXPECT_FALSE(config.vox);
    EXPECT_FALSE(config.splitteron);
    EXPECT_FALSE(form->dvox->Checked());
    d.voxbox->click();
    EXPECT_TRUE(config.vox);
    EXPECT_FALSE(config.splitteron);
    EXPECT_TRUE(form->dvox->Checked());
}

TEST_F(SettingsDialogTest, FolderButtonsAndTheNamingRulesWindow) {
    ASSERT_TRUE(create());
    Tcmanager& d = dialog();
    QStringList asked;
    QString answer;
    d.chooseFolder = [&](const QString& caption, const QString& start) {
        asked << caption << start;
        return answer;
    };
    QStringList opened;
    d.openFolder = [&](const QString& folder) { opened << folder; };

    // A cancelled choice changes nothing.
    d.BitBtn1->click();
    EXPECT_EQ(asked, (QStringList{QStringLiteral("Select Directory"), m_out}));
    EXPECT_EQ(config.archive, m_out);
    // A chosen folder is stored and shown.
    const QString other = m_dir.filePath(QStringLiteral("other"));
    ASSERT_TRUE(QDir().mkpath(other));
    answer = other;
    d.BitBtn1->click();
    EXPECT_EQ(config.archive, other);
    EXPECT_EQ(d.destfolder->text(), other);
    d.BitBtn2->click();
    EXPECT_EQ(opened, QStringList{other});
    // A folder that has gone is not offered as the start.
    ASSERT_TRUE(QDir(other).removeRecursively());
    asked.clear();
    answer.clear();
    d.BitBtn1->click();
    EXPECT_EQ(asked, (QStringList{QStringLiteral("Select Directory"), QString()}));
    EXPECT_TRUE(config.archive.isEmpty());

    // "Customize..." opens the naming rules window modally and destroys it afterwards.
    if (!d.autobox->isChecked())
        d.autobox->click();
    QString seen;
    QTimer::singleShot(0, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            seen = modal->windowTitle();
            modal->close();
        }
    });
    d.autoconfig->click();
    EXPECT_EQ(seen, QStringLiteral("File Name template"));
    EXPECT_TRUE(d.findChildren<QDialog*>().isEmpty());
}

} // namespace

TEST_F(SettingsDialogTest, RecordFromListsThePlayingApplicationsAndTheStatusTellsOfTheWait) {
    // The stored application does not play at the start: capture waits for it.
    config.recordfrom = QStringLiteral("Radio");
    config.recordfrombinary = QStringLiteral("radio-bin");
    writeSettings();
    ASSERT_TRUE(create());
    Tcmanager& d = dialog();
    EXPECT_TRUE(form->captureSource()->started);
    ASSERT_TRUE(processUntil([&] { return form->fstatus->text() == "Waiting for Radio"; }))
        << form->fstatus->text().toStdString();
    EXPECT_EQ(d.recordfrom->currentText(), QStringLiteral("Radio"));

    // Opening the list asks again: one entry per application, however many streams.
    audio::PlayingApplication tab;
    tab.stream = 3;
    tab.name = QStringLiteral("Browser");
    tab.binary = QStringLiteral("browser-bin");
    tab.outputId = Sink;
    audio::PlayingApplication otherTab = tab;
    otherTab.stream = 4;
    engine.setPlayingApplications({tab, otherTab});
    d.recordfrom->showPopup();
    d.recordfrom->hidePopup();
    QStringList shown;
    for (int i = 0; i < d.recordfrom->count(); ++i)
        shown << d.recordfrom->itemText(i);
    EXPECT_EQ(shown, QStringList({"Everything the computer plays", "Browser", "Radio"}));

    // Choosing one records it from now on, and is stored.
    d.recordfrom->setCurrentIndex(1);
    emit d.recordfrom->activated(1);
    EXPECT_EQ(config.recordfrom, QStringLiteral("Browser"));
    EXPECT_EQ(config.recordfrombinary, QStringLiteral("browser-bin"));
    ASSERT_TRUE(processUntil([&] {
        const std::vector<audio::SimStream> streams = engine.streams();
        return streams.back().application == 4u;
    }));
    ASSERT_TRUE(processUntil([&] { return form->fstatus->text() == "Ready"; }))
        << form->fstatus->text().toStdString();
}
