#include "common/datafiles.h"
#include "settings/config.h"
#include "settings/desktop.h"

#include "settingstestenv.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

// A record in which every field differs from its default, so that a field the defaults
// forget to set cannot pass by accident.
TConfig scrambledRecord() {
    TConfig r;
    r.stayontop = true;
    r.path = QStringLiteral("/elsewhere/");
    r.codec = 3;
    r.vbrmode = 7;
    r.bitrate = 9;
    r.oggquality = 10;
    r.flaclevel = 8;
    r.archive = QStringLiteral("/old/archive");
    r.autoname = false;
    r.namingexpression = QStringLiteral("rec-NUM");
    r.namingnumber = 5;
    r.nextnumber = 12;
    r.scheduler = true;
    r.numevents = 42;
    r.vox = true;
    r.trashold = 99;
    r.silence = 7.5f;
    r.voxautodelete = true;
    r.voxautodeletetime = 33;
    r.voxautodeletestart = 45512.25;
    r.voxdeleteit = true;
    r.minstartup = true;
    r.mixervolume = 3;
    r.playvolume = 4;
    r.pauserecord = true;
    r.displaytype = 9;
    r.splitteron = true;
    r.timelimit = 1;
    r.hotkeys = true;
    r.posx = 10;
    r.posy = 20;
    r.schedulercolumns = {1, 2, 3, 4, 5, 6};
    r.pathtosettings = QStringLiteral("/cfg/Velmora/Orvanta/");
    r.askconfirmation = false;
    r.autostop = true;
    r.autostoptime = 1;
    r.checkupdates = false;
    return r;
}

} // namespace

TEST(DefaultConfig, SetsEveryDefaultAndLeavesTheRunTimeFieldsAlone) {
    TConfig r = scrambledRecord();
    defaultconfig(r);

    EXPECT_FALSE(r.stayontop);
    // The test program runs from the build tree, which is writable.
    EXPECT_EQ(r.path, executableFolder() + QStringLiteral("/"));
    EXPECT_EQ(r.codec, 0);
    EXPECT_EQ(r.vbrmode, 0);
    EXPECT_EQ(r.bitrate, 5);
    EXPECT_EQ(r.oggquality, 4);
    EXPECT_EQ(r.flaclevel, 4);
    EXPECT_EQ(r.archive, getmusicfolder());
    EXPECT_TRUE(r.autoname);
    EXPECT_EQ(r.namingexpression, QStringLiteral("YY-MM-DD-HH-NN-SS"));
    EXPECT_EQ(r.namingnumber, 100);
    EXPECT_EQ(r.nextnumber, 0);
    EXPECT_FALSE(r.scheduler);
    EXPECT_EQ(r.numevents, 0);
    EXPECT_FALSE(r.vox);
    EXPECT_EQ(r.trashold, 1635);
    EXPECT_EQ(r.silence, 2.0f);
    EXPECT_FALSE(r.voxautodelete);
    EXPECT_FALSE(r.minstartup);
    EXPECT_EQ(r.mixervolume, 50);
    EXPECT_EQ(r.playvolume, 50);
    EXPECT_FALSE(r.pauserecord);
    EXPECT_EQ(r.displaytype, 1);
    EXPECT_FALSE(r.splitteron);
    EXPECT_EQ(r.timelimit, 600);
    EXPECT_FALSE(r.hotkeys);
    EXPECT_EQ(r.posx, -1);
    EXPECT_EQ(r.posy, -1);
    EXPECT_EQ(r.schedulercolumns, (std::array<int32_t, 6>{170, 70, 70, 86, 80, 75}));
    EXPECT_TRUE(r.askconfirmation);
    EXPECT_FALSE(r.autostop);
    EXPECT_EQ(r.autostoptime, 600);
    EXPECT_TRUE(r.checkupdates);

    // After a failed load these keep what the loader had put there.
    EXPECT_EQ(r.voxautodeletetime, 33);
    EXPECT_EQ(r.voxautodeletestart, 45512.25);
    EXPECT_TRUE(r.voxdeleteit);
    EXPECT_EQ(r.pathtosettings, QStringLiteral("/cfg/Velmora/Orvanta/"));
}

TEST(DefaultPath, IsTheProgramFolderOnlyWhereRecordingsCanBeWritten) {
    TempHome home;
    writeBytes(home.path() + QStringLiteral("/config/user-dirs.dirs"),
               "XDG_MUSIC_DIR=\"$HOME/Tunes\"\n");
    const QString programFolder = home.path() + QStringLiteral("/bin");
    ASSERT_TRUE(QDir().mkpath(programFolder));
    EXPECT_EQ(defaultPath(programFolder), programFolder + QStringLiteral("/"));

    // A folder the program cannot write to (here: one that does not exist, since the tests
    // run as root) gives the music folder, created for the recordings.
    EXPECT_EQ(defaultPath(home.path() + QStringLiteral("/gone")),
              home.path() + QStringLiteral("/Tunes/"));
    EXPECT_TRUE(QDir(home.path() + QStringLiteral("/Tunes")).exists());
}

TEST(LevelToDb, ShowsWholeDecibels) {
    EXPECT_EQ(leveltodb(1), -90);
    EXPECT_EQ(leveltodb(1635), -26);
    EXPECT_EQ(leveltodb(16384), -6);
    EXPECT_EQ(leveltodb(32768), 0);
    EXPECT_EQ(leveltodb(3277), -20); // one tenth of full scale, just above -20.0
    EXPECT_EQ(leveltodb(65536), 6);
}

TEST(LevelToDb, RoundsToNearestCloseToHalves) {
    // No whole level lands exactly on a half; these land within a few millionths of one, on
    // both sides. Truncating or flooring would get them wrong.
    EXPECT_EQ(leveltodb(17396), -6); // -5.500011
    EXPECT_EQ(leveltodb(24572), -3); // -2.500189
    EXPECT_EQ(leveltodb(24573), -2); // -2.499835
    EXPECT_EQ(leveltodb(27571), -1); // -1.499948
    EXPECT_EQ(leveltodb(30935), 0);  // -0.499996
    EXPECT_EQ(leveltodb(219), -44);  // -43.500116
    EXPECT_EQ(leveltodb(19519), -4); // -4.499847
}

TEST(LevelToDb, LevelsWithoutALogarithmShowTheFloor) {
    EXPECT_EQ(leveltodb(0), -90);
    EXPECT_EQ(leveltodb(-1), -90);
    EXPECT_EQ(leveltodb(std::numeric_limits<int32_t>::min()), -90);
    EXPECT_EQ(leveltodb(std::numeric_limits<int32_t>::max()), 96);
}
