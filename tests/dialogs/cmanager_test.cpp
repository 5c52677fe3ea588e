// The settings dialog on its own: the Splitter page's choice of splitting at a media player's
// track change, and the player list that the window program fills.
#include "dialogs/cmanager.h"

#include "capture/wasapisource.h"
#include "common/handoff.h"
#include "settings/config.h"
#include "settings/settingstestenv.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>

#include <gtest/gtest.h>

namespace {

class NoHost final : public SettingsHost {
public:
    void setStayOnTop(bool) override {}
    void showinfo() override {}
    void loadhotkeys() override {}
    void closehotkeys() override {}
    void setFileSizeVisible(bool) override {}
    bool canCheckForUpdates() const override { return false; }
    void checkForUpdates() override {}
};

QStringList listed(const QComboBox& combo) {
    QStringList items;
    for (int i = 0; i < combo.count(); ++i)
        items << combo.itemText(i) + QLatin1Char('=') + combo.itemData(i).toString();
    return items;
}

const QString Vlc = QStringLiteral("org.mpris.MediaPlayer2.vlc");
const QString Firefox = QStringLiteral("org.mpris.MediaPlayer2.firefox.instance_1_2");

TEST(SettingsDialogTrackSplit, LoadsStoresAndListsThePlayersSeenNow) {
    TempHome home;
    FakeMessages messages; // no capture backend here: the start error is only recorded
    WindowThreadHandoff handoff;
    TWASAPISource source(handoff, nullptr);
    NoHost host;
    config = TConfig{};
    defaultconfig(config);
    config.splitontrack = true;
    config.trackplayer = Vlc; // not running now

    Tcmanager dialog(source, tWAVEFORMATEX{}, host);
    QList<QPair<QString, QString>> running;
    int asked = 0;
    dialog.mediaPlayers = [&] {
        ++asked;
        return running;
    };
    dialog.FormCreate();

    EXPECT_EQ(dialog.trackbox->text(),
              QStringLiteral("Split tracks when the media player changes track"));
    EXPECT_TRUE(dialog.trackbox->isChecked());
    EXPECT_TRUE(dialog.trackplayer->isEnabled());
    EXPECT_EQ(dialog.trackplayerLabel->buddy(), dialog.trackplayer);
    // The stored player stays listed and chosen while it is not running.
    EXPECT_EQ(listed(*dialog.trackplayer), (QStringList{"Any player=", "vlc=" + Vlc}));
    EXPECT_EQ(dialog.trackplayer->currentData().toString(), Vlc);

    // Opening the list asks again; players that came meanwhile are offered.
    running = {{Firefox, QStringLiteral("Mozilla Firefox")}, {Vlc, QStringLiteral("VLC")}};
    const int before = asked;
    dialog.trackplayer->showPopup();
    dialog.trackplayer->hidePopup();
    EXPECT_GT(asked, before);
    EXPECT_EQ(listed(*dialog.trackplayer),
              (QStringList{"Any player=", "Mozilla Firefox=" + Firefox, "VLC=" + Vlc}));
    EXPECT_EQ(dialog.trackplayer->currentData().toString(), Vlc);

    // A choice goes into the settings at once, as the page's other controls do.
    dialog.trackplayer->setCurrentIndex(1);
    emit dialog.trackplayer->activated(1);
    EXPECT_EQ(config.trackplayer, Firefox);
    running.clear();
    dialog.trackplayer->showPopup();
    dialog.trackplayer->hidePopup();
    EXPECT_EQ(listed(*dialog.trackplayer),
              (QStringList{"Any player=", "firefox.instance_1_2=" + Firefox}));
    dialog.trackplayer->setCurrentIndex(0);
    emit dialog.trackplayer->activated(0);
    EXPECT_EQ(config.trackplayer, QString());

    dialog.trackbox->setChecked(false);
    EXPECT_FALSE(config.splitontrack);
    EXPECT_FALSE(dialog.trackplayer->isEnabled());
    EXPECT_FALSE(dialog.trackplayerLabel->isEnabled());
    config = TConfig{};
}

} // namespace
