// The command line of orvanta-rec: what each option sets, and a clear refusal of every bad
// value.
#include "app/recoptions.h"
#include "support/qtprint.h"

#include "common/version.h"
#include "writers/mp3bitrate.h"

#include <gtest/gtest.h>

namespace {

RecParseResult parse(const QStringList& args) {
    return parseRecOptions(args);
}

TEST(RecOptionsTest, EveryOptionReachesTheSettingsRecord) {
    const RecParseResult r = parse({"--format",   "FLAC",      "--bitrate", "192",
                                    "--quality",  "7",         "--level",   "0",
                                    "--output",   "/tmp/x",    "--name",    "show-NUM",
                                    "--duration", "1:30",      "--vox",     "--threshold-db",
                                    "-40",        "--silence", "0.5",       "--min-length",
                                    "0:10",       "--split",   "1:00:00",   "--device",
                                    "Speakers",   "--settings"});
    ASSERT_EQ(r.action, RecParseResult::Action::Record) << r.text.toStdString();
    EXPECT_EQ(r.options.durationSeconds, 90.0);
    EXPECT_EQ(r.options.device, QStringLiteral("Speakers"));
    EXPECT_EQ(r.options.outputFolder, QStringLiteral("/tmp/x"));
    EXPECT_TRUE(r.options.useSettings);

    TConfig record;
    defaultconfig(record);
    record.autoname = false;
    record.scheduler = true;
    record.pauserecord = true;
    record.nextnumber = 7;
    applyRecOptions(r.options, record, 48000);
    EXPECT_EQ(record.codec, 3);
    EXPECT_EQ(Mp3BitrateKbps(record.bitrate, 48000), 192);
    EXPECT_EQ(record.oggquality, 7);
    EXPECT_EQ(record.flaclevel, 0);
    EXPECT_EQ(record.namingexpression, QStringLiteral("show-NUM"));
    EXPECT_TRUE(record.vox);
    EXPECT_EQ(leveltodb(record.trashold), -40);
    EXPECT_FLOAT_EQ(record.silence, 0.5f);
    EXPECT_TRUE(record.voxautodelete);
    EXPECT_EQ(record.voxautodeletetime, 10);
    EXPECT_TRUE(record.splitteron);
    EXPECT_EQ(record.timelimit, 3600);
    // Nothing here can answer a dialog or run the scheduler, and NUM counts from the start.
    EXPECT_TRUE(record.autoname);
    EXPECT_FALSE(record.scheduler);
    EXPECT_FALSE(record.pauserecord);
    EXPECT_EQ(record.nextnumber, 0);
}

TEST(RecOptionsTest, OptionsNotGivenLeaveTheDefaultsAlone) {
    const RecParseResult r = parse({});
    ASSERT_EQ(r.action, RecParseResult::Action::Record);
    TConfig record;
    defaultconfig(record);
    record.vox = true; // as a settings file may have it
    record.trashold = 999;
    TConfig expected = record;
    applyRecOptions(r.options, record, 44100);
    EXPECT_EQ(record, expected);
}

TEST(RecOptionsTest, HelpVersionAndDeviceListing) {
    const RecParseResult help = parse({"--help"});
    ASSERT_EQ(help.action, RecParseResult::Action::Help);
    for (const char* option :
         {"--version", "--format", "--bitrate", "--quality", "--level", "--output", "--name",
          "--duration", "--vox", "--threshold-db", "--silence", "--min-length", "--split",
          "--device", "--list-devices", "--list-apps", "--settings", "Exit status"})
        EXPECT_TRUE(help.text.contains(QLatin1String(option))) << option;
    EXPECT_EQ(parse({"--list-devices"}).action, RecParseResult::Action::ListDevices);
    EXPECT_EQ(parse({"--list-apps"}).action, RecParseResult::Action::ListApps);
    // It wins over the other options, as --help does.
    const RecParseResult version = parse({"--format", "wav", "--version"});
    EXPECT_EQ(version.action, RecParseResult::Action::Version);
    EXPECT_EQ(version.text, QStringLiteral("orvanta-rec " ORVANTA_VERSION "\n"));
}

TEST(RecOptionsTest, SplitOnTrackTakesAnOptionalPlayer) {
    const RecParseResult help = parse({"--help"});
    EXPECT_TRUE(help.text.contains(QLatin1String("--split-on-track[=PLAYER]"))) << help.text;
    // The description is wrapped to the terminal's width.
    EXPECT_TRUE(help.text.simplified().contains(
        QLatin1String("Start a new file when the media player changes track")));

    TConfig record;
    defaultconfig(record);
    record.trackplayer = QStringLiteral("from-settings");
    const RecParseResult any = parse({"--split-on-track", "--vox"});
    ASSERT_EQ(any.action, RecParseResult::Action::Record) << any.text;
    applyRecOptions(any.options, record, 48000);
    EXPECT_TRUE(record.splitontrack);
    EXPECT_TRUE(record.vox);
    EXPECT_EQ(record.trackplayer, QStringLiteral("from-settings"));

    // A value of another option is left alone, even when it looks like this one.
    const RecParseResult named = parse({"--output", "--split-on-track", "--split", "60",
                                        "-split-on-track=org.mpris.MediaPlayer2.vlc"});
    ASSERT_EQ(named.action, RecParseResult::Action::Record) << named.text;
    EXPECT_EQ(named.options.outputFolder, QStringLiteral("--split-on-track"));
    defaultconfig(record);
    applyRecOptions(named.options, record, 48000);
    EXPECT_TRUE(record.splitontrack);
    EXPECT_EQ(record.trackplayer, QStringLiteral("org.mpris.MediaPlayer2.vlc"));
    EXPECT_TRUE(record.splitteron);
    EXPECT_EQ(record.timelimit, 60);

    for (const auto& [args, mentions] :
         {std::pair<QStringList, const char*>{{"--split-on-track="}, "--split-on-track: expected"},
          {{"--split-on-track= vlc"}, "--split-on-track: expected"},
          {{"--split-on-track", "--split-on-track=vlc"}, "given more than once"},
          {{"--split-on-track", "vlc"}, "--split-on-track=vlc"}}) {
        const RecParseResult r = parse(args);
        EXPECT_EQ(r.action, RecParseResult::Action::Error) << args.join(' ');
        EXPECT_TRUE(r.text.contains(QLatin1String(mentions))) << r.text;
    }
}

TEST(RecOptionsTest, EveryBadValueIsRefusedNamingTheOptionAndItsRange) {
    struct Case {
        QStringList args;
        const char* mentions;
    };
    const Case cases[] = {
        {{"--format", "aiff"}, "--format: expected mp3, ogg, wav or flac"},
        {{"--format", ""}, "--format"},
        {{"--bitrate", "7"}, "--bitrate: expected a whole number of kbit/s from 8 to 320"},
        {{"--bitrate", "321"}, "8 to 320"},
        {{"--bitrate", "128k"}, "--bitrate"},
        {{"--quality", "11"}, "--quality: expected a whole number from 0 to 10"},
        {{"--quality", "-1"}, "0 to 10"},
        {{"--quality", "4.5"}, "--quality"},
        {{"--level", "9"}, "--level: expected a whole number from 0 to 8"},
        {{"--output", ""}, "--output"},
        {{"--name", "a/b"}, "--name"},
        {{"--name", "what?"}, "--name"},
        {{"--name", "  "}, "--name"},
        {{"--duration", "0"}, "--duration: expected seconds or h:mm:ss"},
        {{"--duration", "-5"}, "--duration"},
        {{"--duration", "soon"}, "--duration"},
        {{"--duration", "1:60"}, "--duration"},
        {{"--duration", "1e3"}, "--duration"},
        {{"--duration", "169:00:01"}, "7 days"},
        {{"--duration", "nan"}, "--duration"},
        {{"--threshold-db", "3"}, "--threshold-db: expected a number of dB from -90 to 0"},
        {{"--threshold-db", "-91"}, "-90 to 0"},
        {{"--silence", "0"}, "--silence: expected a number of seconds from 0.1 to 3600"},
        {{"--silence", "3601"}, "0.1 to 3600"},
        {{"--min-length", "0"}, "--min-length: expected whole seconds from 1 to 86400"},
        {{"--min-length", "2.5"}, "--min-length"},
        {{"--split", "0"}, "--split: expected whole seconds or h:mm:ss"},
        {{"--split", "1.5"}, "--split"},
        {{"--device", ""}, "--device"},
        {{"--frobnicate"}, "frobnicate"},
        {{"--format"}, "--format"},
        {{"extra"}, "unexpected argument \"extra\""},
        {{"--format", "mp3", "--format", "ogg"}, "--format is given more than once"},
    };
    for (const Case& c : cases) {
        const RecParseResult r = parse(c.args);
        EXPECT_EQ(r.action, RecParseResult::Action::Error) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.text.contains(QLatin1String(c.mentions)))
            << c.args.join(' ').toStdString() << ": " << r.text.toStdString();
    }
}

TEST(RecOptionsTest, ClockTimes) {
    EXPECT_EQ(parseClockSeconds("90"), 90.0);
    EXPECT_EQ(parseClockSeconds("1.5"), 1.5);
    EXPECT_EQ(parseClockSeconds("2:30"), 150.0);
    EXPECT_EQ(parseClockSeconds("1:02:03"), 3723.0);
    EXPECT_EQ(parseClockSeconds("0:00:01.25"), 1.25);
    EXPECT_EQ(parseClockSeconds("100:00"), 6000.0); // the first field is not bounded
    for (const char* bad : {"", ":", "1:", ":5", "1::2", "1:2:3:4", "1.5:00", "+5", "-5", " ", "5s",
                            "0x10", "1:60", "inf", "1.", ".5"})
        EXPECT_FALSE(parseClockSeconds(QLatin1String(bad))) << '"' << bad << '"';
}

TEST(RecOptionsTest, BitrateMapsToTheNearestIndexOfTheRatesTable) {
    EXPECT_EQ(Mp3BitrateKbps(nearestMp3BitrateIndex(320, 48000), 48000), 320);
    EXPECT_EQ(Mp3BitrateKbps(nearestMp3BitrateIndex(128, 44100), 44100), 128);
    EXPECT_EQ(Mp3BitrateKbps(nearestMp3BitrateIndex(130, 48000), 48000), 128);
    // Between 224 and 256: 250 is nearer 256.
    EXPECT_EQ(Mp3BitrateKbps(nearestMp3BitrateIndex(250, 48000), 48000), 256);
    // Below the MPEG-1 table its lowest entry; the MPEG-2 rates reach lower.
    EXPECT_EQ(Mp3BitrateKbps(nearestMp3BitrateIndex(8, 48000), 48000), 32);
    EXPECT_EQ(Mp3BitrateKbps(nearestMp3BitrateIndex(8, 22050), 22050), 8);
    EXPECT_EQ(Mp3BitrateKbps(nearestMp3BitrateIndex(320, 22050), 22050), 160);
}

TEST(RecOptionsTest, ThresholdInDecibels) {
    EXPECT_EQ(levelOfDecibels(0), 32768);
    EXPECT_EQ(levelOfDecibels(-90), 1);
    EXPECT_EQ(levelOfDecibels(-26), 1642);
    // Exact where the level steps are finer than a decibel; near the bottom one level step
    // spans several decibels, so only the order is kept there.
    for (int db = -60; db <= 0; ++db)
        EXPECT_EQ(leveltodb(levelOfDecibels(db)), db) << db;
    for (int db = -90; db < 0; ++db)
        EXPECT_LE(levelOfDecibels(db), levelOfDecibels(db + 1)) << db;
}

TEST(RecOptionsTest, StatusLine) {
    EXPECT_EQ(recStatusLine("REC", 3723, 512 * 1024, 32767),
              QStringLiteral("REC 01:02:03  512 kB  [####################] 0 dB"));
    EXPECT_EQ(recStatusLine("VOX", 0, 3 * 1048576 / 2, 0),
              QStringLiteral("VOX 00:00:00  1.50 MB  [--------------------] -inf dB"));
    // -30 dB fills half of the -60..0 dB meter.
    EXPECT_TRUE(
        recStatusLine("REC", 5, 0, 1036).contains(QLatin1String("[##########----------] -30 dB")));
}

} // namespace
