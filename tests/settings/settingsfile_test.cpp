#include "settings/settingsfile.h"

#include "settingstestenv.h"
#include "support/fakemessages.h"
#include "support/filesizelimit.h"
#include "support/qtprint.h"

#include <QDomDocument>
#include <QLocale>

#include <bit>
#include <cmath>
#include <limits>

namespace {

const QString Damaged = QStringLiteral("Error loading settings. Default settings will be restored");

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { clearStores(); }
    void TearDown() override {
        clearStores();
        QLocale::setDefault(QLocale::c());
    }

    // Writes a complete settings file from the defaults, then lets the test change it.
    void writeSettings(const std::function<void(QDomElement&)>& edit = {}) {
        TConfig defaults;
        defaultconfig(defaults);
        ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), defaults));
        if (!edit) {
            return;
        }
        QDomDocument document;
        ASSERT_TRUE(document.setContent(readBytes(home.settingsFile())));
        QDomElement root = document.documentElement();
        edit(root);
        writeBytes(home.settingsFile(), document.toByteArray(2));
    }

    TConfig load() {
        TConfig record;
        loadconfig(QStringLiteral("tressic.xml"), record);
        return record;
    }

    static void removeElement(QDomElement& root, const QString& name) {
        root.removeChild(root.firstChildElement(name));
    }

    static void setAttribute(QDomElement& root, const QString& element, const QString& attribute,
                             const QString& value) {
        root.firstChildElement(element).setAttribute(attribute, value);
    }

    TempHome home;
    FakeMessages messages;
};

TConfig defaultsFor(const QString& settingsDir) {
    TConfig record;
    defaultconfig(record);
    record.pathtosettings = settingsDir;
    return record;
}

// A silence the loader keeps (0.1 to 3600 seconds), with any bits there.
float randomSilence(std::mt19937& rng) {
    for (;;) {
        const auto value = std::bit_cast<float>(static_cast<uint32_t>(rng()));
        if (value >= 0.1f && value <= 3600.0f) {
            return value;
        }
    }
}

// The loader puts the default in for a value outside [lowest, highest]; the round trip keeps
// any value inside.
int32_t randomIn(std::mt19937& rng, int32_t lowest, int32_t highest) {
    return lowest + static_cast<int32_t>(rng() % static_cast<uint32_t>(highest - lowest + 1));
}

TConfig randomRecord(std::mt19937& rng) {
    TConfig r;
    r.stayontop = randomBool(rng);
    r.path = randomText(rng);
    r.codec = randomIn(rng, 0, 3);
    r.vbrmode = randomInt(rng);
    r.bitrate = randomIn(rng, 0, 10);
    r.oggquality = randomIn(rng, 0, 10);
    r.flaclevel = randomIn(rng, 0, 8);
    r.archive = randomText(rng);
    r.autoname = randomBool(rng);
    r.namingexpression = randomText(rng);
    r.namingnumber = randomInt(rng);
    r.nextnumber = randomInt(rng);
    r.scheduler = randomBool(rng);
    r.numevents = randomInt(rng);
    r.vox = randomBool(rng);
    // The loader corrects values out of range and a mixer level above 100 on purpose.
    r.trashold = randomIn(rng, 1, 32768);
    r.silence = randomSilence(rng);
    r.voxautodelete = randomBool(rng);
    r.voxautodeletetime = randomInt(rng);
    r.voxautodeletestart = rng() / 7.0;
    r.voxdeleteit = randomBool(rng);
    r.minstartup = randomBool(rng);
    r.mixervolume = randomInt(rng);
    if (r.mixervolume > 100) {
        r.mixervolume %= 101;
    }
    r.playvolume = randomInt(rng);
    r.pauserecord = randomBool(rng);
    r.displaytype = randomIn(rng, 0, 10);
    r.splitteron = randomBool(rng);
    r.timelimit = randomIn(rng, 1, std::numeric_limits<int32_t>::max());
    r.hotkeys = randomBool(rng);
    r.posx = randomInt(rng);
    r.posy = randomInt(rng);
    for (int32_t& width : r.schedulercolumns) {
        width = randomIn(rng, 1, 8192);
    }
    r.pathtosettings = randomText(rng);
    r.askconfirmation = randomBool(rng);
    r.autostop = randomBool(rng);
    r.autostoptime = randomInt(rng);
    r.checkupdates = randomBool(rng);
    return r;
}

} // namespace

TEST_F(SettingsFile, FirstRunCreatesTheFolderAndLoadsTheDefaultsSilently) {
    TConfig record;
    record.nextnumber = 9;
    EXPECT_EQ(loadconfig(QStringLiteral("tressic.xml"), record), QString());
    EXPECT_TRUE(record == defaultsFor(home.settingsDir()));
    EXPECT_EQ(record.voxautodeletetime, 0);
    EXPECT_TRUE(QDir(home.settingsDir()).exists());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, WritesTheDocumentStructure) {
    TConfig record;
    defaultconfig(record);
    record.silence = 0.3f;
    record.numevents = 0;
    record.voxautodelete = true;
    record.voxautodeletetime = 7;
    ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), record));

    QDomDocument document;
    ASSERT_TRUE(document.setContent(readBytes(home.settingsFile())));
    const QDomElement root = document.documentElement();
    EXPECT_EQ(root.tagName(), QStringLiteral("Config"));
    QStringList order;
    for (QDomElement e = root.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        order << e.tagName();
        EXPECT_FALSE(e.hasChildNodes()) << e.tagName().toStdString();
    }
    EXPECT_EQ(order,
              QStringList({"flac",        "ogg",      "mp3",           "autoname",    "codec",
                           "archive",     "path",     "stayontop",     "minstartup",  "display",
                           "pauserecord", "hotkeys",  "scheduler",     "vox",         "autodelete",
                           "mixer",       "splitter", "tracksplit",    "recordfrom",  "autostop",
                           "position",    "columns",  "confirmations", "checkupdates"}));
    const QDomElement vox = root.firstChildElement(QStringLiteral("vox"));
    EXPECT_EQ(vox.attribute(QStringLiteral("silence")), QStringLiteral("0.300000011920929"));
    EXPECT_EQ(vox.attribute(QStringLiteral("threshold")), QStringLiteral("1635"));
    EXPECT_EQ(vox.attribute(QStringLiteral("autodelete")), QStringLiteral("1"));
    EXPECT_EQ(vox.attribute(QStringLiteral("deletetime")), QStringLiteral("7"));
    EXPECT_EQ(root.firstChildElement(QStringLiteral("position")).attribute(QStringLiteral("x")),
              QStringLiteral("-1"));
    EXPECT_EQ(root.firstChildElement(QStringLiteral("columns")).attribute(QStringLiteral("c5")),
              QStringLiteral("75"));
    EXPECT_EQ(
        root.firstChildElement(QStringLiteral("scheduler")).attribute(QStringLiteral("numevents")),
        QStringLiteral("0"));

    // Each element on its own line, indented; the events and names files are written too.
    const QByteArray text = readBytes(home.settingsFile());
    EXPECT_TRUE(text.contains("\n  <flac level=\"4\"/>\n")) << text.constData();
    EXPECT_TRUE(QFile::exists(home.settingsDir() + QStringLiteral("events.xml")));
    EXPECT_TRUE(QFile::exists(home.settingsDir() + QStringLiteral("names.xml")));

    record.silence = 2.0f;
    ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), record));
    EXPECT_TRUE(readBytes(home.settingsFile()).contains("silence=\"2\""));
}

TEST_F(SettingsFile, RandomRecordsSurviveSaveAndLoad) {
    std::mt19937 rng(20240808);
    for (int i = 0; i < 200; ++i) {
        const TConfig written = randomRecord(rng);
        ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), written));
        const TConfig loaded = load();

        TConfig expected = written;
        expected.vbrmode = 0;
        expected.nextnumber = 0;
        expected.numevents = 0; // comes from the events file
        expected.voxautodeletestart = 0.0;
        expected.voxdeleteit = false;
        expected.pathtosettings = home.settingsDir();
        ASSERT_TRUE(loaded == expected) << "record " << i;
        ASSERT_EQ(std::bit_cast<uint32_t>(loaded.silence), std::bit_cast<uint32_t>(written.silence))
            << "record " << i;
    }
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, SilenceSurvivesBitExactlyUnderAnyLocale) {
    const float values[] = {2.0f,        0.3f,    0.1f,    59.9f, std::nextafter(0.1f, 1.0f),
                            1234.56789f, 3599.9f, 3600.0f, 7.77f, std::nextafter(3600.0f, 0.0f)};
    const QLocale locales[] = {QLocale(QLocale::German, QLocale::Germany),
                               QLocale(QLocale::English, QLocale::UnitedStates),
                               QLocale(QLocale::French, QLocale::France)};
    for (const float value : values) {
        for (const QLocale& writer : locales) {
            for (const QLocale& reader : locales) {
                QLocale::setDefault(writer);
                TConfig record;
                defaultconfig(record);
                record.silence = value;
                ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), record));
                QLocale::setDefault(reader);
                const TConfig loaded = load();
                EXPECT_EQ(std::bit_cast<uint32_t>(loaded.silence), std::bit_cast<uint32_t>(value))
                    << value << " " << writer.name().toStdString() << " -> "
                    << reader.name().toStdString();
            }
        }
    }
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, ReadsADecimalCommaFromOlderFiles) {
    writeSettings([](QDomElement& root) {
        setAttribute(root, QStringLiteral("vox"), QStringLiteral("silence"), QStringLiteral("0,5"));
    });
    EXPECT_EQ(load().silence, 0.5f);
    writeSettings([](QDomElement& root) {
        setAttribute(root, QStringLiteral("vox"), QStringLiteral("silence"),
                     QStringLiteral("12.25"));
    });
    EXPECT_EQ(load().silence, 12.25f);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, MissingOptionalElementsTakeTheirFallbacks) {
    writeSettings([](QDomElement& root) {
        for (const char* name :
             {"flac", "autoname", "confirmations", "autostop", "autodelete", "checkupdates"}) {
            removeElement(root, QString::fromLatin1(name));
        }
        // The order of the elements does not matter to the reader.
        root.insertBefore(root.lastChildElement(), root.firstChildElement());
    });
    const TConfig r = load();
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(r.flaclevel, 0); // the loader's starting value, not the default 4
    EXPECT_FALSE(r.autoname);
    EXPECT_EQ(r.namingexpression, QString());
    EXPECT_EQ(r.namingnumber, 0);
    EXPECT_TRUE(r.askconfirmation);
    EXPECT_FALSE(r.autostop);
    EXPECT_EQ(r.autostoptime, 600);
    EXPECT_FALSE(r.voxautodelete);
    EXPECT_EQ(r.voxautodeletetime, 1);
    EXPECT_TRUE(r.checkupdates);
    EXPECT_EQ(r.oggquality, 4); // the rest is read as written
    EXPECT_EQ(r.schedulercolumns, (std::array<int32_t, 6>{170, 70, 70, 86, 80, 75}));

    writeSettings([](QDomElement& root) {
        QDomElement autoname = root.firstChildElement(QStringLiteral("autoname"));
        autoname.removeAttribute(QStringLiteral("expression"));
        autoname.removeAttribute(QStringLiteral("number"));
    });
    const TConfig named = load();
    EXPECT_TRUE(named.autoname);
    EXPECT_EQ(named.namingexpression, QStringLiteral("track-DD-MM-YY_HH-NN-SS"));
    EXPECT_EQ(named.namingnumber, 100);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, SplitOnTrackChangesIsStoredAndReadLeniently) {
    TConfig written;
    defaultconfig(written);
    written.splitontrack = true;
    written.trackplayer = QStringLiteral("org.mpris.MediaPlayer2.vlc");
    ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), written));
    EXPECT_TRUE(readBytes(home.settingsFile())
                    .contains("<tracksplit enabled=\"1\" player=\"org.mpris.MediaPlayer2.vlc\"/>"))
        << readBytes(home.settingsFile()).constData();
    TConfig loaded = load();
    EXPECT_TRUE(loaded.splitontrack);
    EXPECT_EQ(loaded.trackplayer, written.trackplayer);

    // A file from before the setting existed: off, any player, everything else as written.
    writeSettings([](QDomElement& root) {
        removeElement(root, QStringLiteral("tracksplit"));
        setAttribute(root, QStringLiteral("ogg"), QStringLiteral("quality"), QStringLiteral("9"));
    });
    loaded = load();
    EXPECT_FALSE(loaded.splitontrack);
    EXPECT_EQ(loaded.trackplayer, QString());
    EXPECT_EQ(loaded.oggquality, 9);

    // Values that do not read take the setting's defaults without costing the rest.
    writeSettings([](QDomElement& root) {
        setAttribute(root, QStringLiteral("tracksplit"), QStringLiteral("enabled"),
                     QStringLiteral("yes"));
        setAttribute(root, QStringLiteral("tracksplit"), QStringLiteral("player"),
                     QStringLiteral(" vlc\t"));
        setAttribute(root, QStringLiteral("ogg"), QStringLiteral("quality"), QStringLiteral("9"));
    });
    loaded = load();
    EXPECT_FALSE(loaded.splitontrack);
    EXPECT_EQ(loaded.trackplayer, QString());
    EXPECT_EQ(loaded.oggquality, 9);
    writeSettings([](QDomElement& root) {
        root.firstChildElement(QStringLiteral("tracksplit")).removeAttribute("enabled");
        setAttribute(root, QStringLiteral("tracksplit"), QStringLiteral("player"),
                     QStringLiteral("VLC media player"));
    });
    loaded = load();
    EXPECT_FALSE(loaded.splitontrack);
    EXPECT_EQ(loaded.trackplayer, QStringLiteral("VLC media player"));
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, RecordedApplicationIsStoredAndAnOlderFileRecordsEverything) {
    TConfig written;
    defaultconfig(written);
    written.recordfrom = QStringLiteral("Firefox");
    written.recordfrombinary = QStringLiteral("firefox-esr");
    ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), written));
    TConfig loaded = load();
    EXPECT_EQ(loaded.recordfrom, written.recordfrom);
    EXPECT_EQ(loaded.recordfrombinary, written.recordfrombinary);

    writeSettings([](QDomElement& root) { removeElement(root, QStringLiteral("recordfrom")); });
    loaded = load();
    EXPECT_EQ(recordedapplication(loaded), QString());

    // A name that cannot be one costs the choice, not the rest of the file.
    writeSettings([](QDomElement& root) {
        setAttribute(root, QStringLiteral("recordfrom"), QStringLiteral("binary"),
                     QStringLiteral("fire\nfox"));
        setAttribute(root, QStringLiteral("ogg"), QStringLiteral("quality"), QStringLiteral("9"));
    });
    loaded = load();
    EXPECT_EQ(recordedapplication(loaded), QString());
    EXPECT_EQ(loaded.oggquality, 9);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, CorrectsOldMixerLevelsAndAZeroThreshold) {
    const std::pair<const char*, int32_t> mixer[] = {
        {"65535", 100}, {"654", 0}, {"101", 0}, {"655", 1}, {"100", 100}, {"0", 0}, {"-5", -5}};
    for (const auto& [text, expected] : mixer) {
        writeSettings([text](QDomElement& root) {
            setAttribute(root, QStringLiteral("mixer"), QStringLiteral("record"),
                         QString::fromLatin1(text));
        });
        EXPECT_EQ(load().mixervolume, expected) << text;
    }
    writeSettings([](QDomElement& root) {
        setAttribute(root, QStringLiteral("vox"), QStringLiteral("threshold"), QStringLiteral("0"));
        setAttribute(root, QStringLiteral("mixer"), QStringLiteral("playback"),
                     QStringLiteral("65535"));
    });
    const TConfig r = load();
    EXPECT_EQ(r.trashold, 1);
    EXPECT_EQ(r.playvolume, 65535); // only the recording level had the old scale
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, ValuesOutOfRangeTakeTheirDefaultsAndTheRestIsKept) {
    const auto write = [this](const char* silence, const char* timelimit,
                              const std::array<const char*, 6>& columns, const char* index) {
        writeSettings([=](QDomElement& root) {
            setAttribute(root, QStringLiteral("vox"), QStringLiteral("enabled"), "1");
            setAttribute(root, QStringLiteral("vox"), QStringLiteral("silence"), silence);
            setAttribute(root, QStringLiteral("vox"), QStringLiteral("threshold"), index);
            setAttribute(root, QStringLiteral("splitter"), QStringLiteral("enabled"), "1");
            setAttribute(root, QStringLiteral("splitter"), QStringLiteral("timelimit"), timelimit);
            for (size_t i = 0; i < columns.size(); ++i)
                setAttribute(root, QStringLiteral("columns"), QStringLiteral("c%1").arg(i),
                             columns[i]);
            for (const char* element : {"codec", "display"})
                setAttribute(root, element, QStringLiteral("index"), index);
            setAttribute(root, QStringLiteral("mp3"), QStringLiteral("bitrate"), index);
            setAttribute(root, QStringLiteral("ogg"), QStringLiteral("quality"), index);
            setAttribute(root, QStringLiteral("flac"), QStringLiteral("level"), index);
            setAttribute(root, QStringLiteral("position"), QStringLiteral("x"), "-7");
        });
    };
    const char* const silences[] = {"nan", "inf", "-inf", "0.01", "1e9", "-0", "3600.5", "-2"};
    const char* const timelimits[] = {"-1", "0", "-2147483648"};
    const char* const indexes[] = {"-1", "40000", "11", "2147483647"};
    for (size_t i = 0; i < std::size(silences); ++i) {
        write(silences[i], timelimits[i % std::size(timelimits)],
              {"2147483647", "-70", "0", "8193", "123", "1"}, indexes[i % std::size(indexes)]);
        const TConfig r = load();
        SCOPED_TRACE(silences[i]);
        EXPECT_EQ(r.silence, 2.0f);
        EXPECT_EQ(r.timelimit, 600);
        EXPECT_EQ(r.schedulercolumns, (std::array<int32_t, 6>{170, 70, 70, 86, 123, 1}));
        EXPECT_EQ(r.codec, 0);
        EXPECT_EQ(r.displaytype, 1);
        EXPECT_EQ(r.bitrate, 5);
        EXPECT_EQ(r.oggquality, 4);
        // 11 is a level out of range, but a threshold in it.
        EXPECT_EQ(r.flaclevel, 4);
        EXPECT_EQ(r.trashold, std::string(indexes[i % std::size(indexes)]) == "11" ? 11 : 1635);
        EXPECT_TRUE(r.vox);
        EXPECT_TRUE(r.splitteron);
        EXPECT_EQ(r.posx, -7);
    }
    // The edges of the ranges are kept.
    write("0.1", "1", {"8192", "1", "2", "3", "4", "5"}, "3");
    const TConfig edges = load();
    EXPECT_EQ(edges.silence, 0.1f);
    EXPECT_EQ(edges.timelimit, 1);
    EXPECT_EQ(edges.schedulercolumns, (std::array<int32_t, 6>{8192, 1, 2, 3, 4, 5}));
    EXPECT_EQ(edges.codec, 3);
    EXPECT_EQ(edges.trashold, 3);
    write("3600", "2147483647", {"1", "1", "1", "1", "1", "1"}, "0");
    EXPECT_EQ(load().silence, 3600.0f);
    EXPECT_EQ(load().timelimit, 2147483647);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, ReadsBooleansInBothForms) {
    writeSettings([](QDomElement& root) {
        setAttribute(root, QStringLiteral("stayontop"), QStringLiteral("enabled"),
                     QStringLiteral("true"));
        setAttribute(root, QStringLiteral("checkupdates"), QStringLiteral("enabled"),
                     QStringLiteral("False"));
        setAttribute(root, QStringLiteral("hotkeys"), QStringLiteral("enabled"),
                     QStringLiteral("1"));
    });
    const TConfig r = load();
    EXPECT_TRUE(r.stayontop);
    EXPECT_FALSE(r.checkupdates);
    EXPECT_TRUE(r.hotkeys);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsFile, CounterRestartsAfterEveryLoad) {
    TConfig record;
    defaultconfig(record);
    record.nextnumber = 41;
    ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), record));
    EXPECT_EQ(load().nextnumber, 0);
    writeSettings([](QDomElement& root) { removeElement(root, QStringLiteral("autoname")); });
    EXPECT_EQ(load().nextnumber, 0);
}

TEST_F(SettingsFile, IncompleteOrInvalidFilesFallBackToTheDefaults) {
    using Edit = std::function<void(QDomElement&)>;
    const std::pair<const char*, Edit> cases[] = {
        {"ogg missing", [](QDomElement& r) { removeElement(r, QStringLiteral("ogg")); }},
        {"columns missing", [](QDomElement& r) { removeElement(r, QStringLiteral("columns")); }},
        {"flac without level",
         [](QDomElement& r) {
             r.firstChildElement(QStringLiteral("flac")).removeAttribute(QStringLiteral("level"));
         }},
        {"autoname without enabled",
         [](QDomElement& r) {
             r.firstChildElement(QStringLiteral("autoname"))
                 .removeAttribute(QStringLiteral("enabled"));
         }},
        {"autostop without timelimit",
         [](QDomElement& r) {
             r.firstChildElement(QStringLiteral("autostop"))
                 .removeAttribute(QStringLiteral("timelimit"));
         }},
        {"text for a number",
         [](QDomElement& r) {
             setAttribute(r, QStringLiteral("codec"), QStringLiteral("index"), QStringLiteral("x"));
         }},
        {"number beyond 32 bits",
         [](QDomElement& r) {
             setAttribute(r, QStringLiteral("position"), QStringLiteral("x"),
                          QStringLiteral("99999999999"));
         }},
        {"empty number",
         [](QDomElement& r) {
             setAttribute(r, QStringLiteral("splitter"), QStringLiteral("timelimit"), QString());
         }},
        {"word for a boolean",
         [](QDomElement& r) {
             setAttribute(r, QStringLiteral("vox"), QStringLiteral("enabled"),
                          QStringLiteral("yes"));
         }},
        {"silence out of range",
         [](QDomElement& r) {
             setAttribute(r, QStringLiteral("vox"), QStringLiteral("silence"),
                          QStringLiteral("1e300"));
         }},
        {"root renamed", [](QDomElement& r) { r.setTagName(QStringLiteral("Settings")); }},
    };
    for (const auto& [label, edit] : cases) {
        messages.shown.clear();
        writeSettings(edit);
        const QByteArray damaged = readBytes(home.settingsFile());
        TConfig record;
        const QString problem = loadconfig(QStringLiteral("tressic.xml"), record);
        EXPECT_FALSE(problem.isEmpty()) << label;
        TConfig expected = defaultsFor(home.settingsDir());
        expected.voxautodeletetime = record.voxautodeletetime;
        EXPECT_TRUE(record == expected) << label;
        ASSERT_EQ(messages.shown.size(), 1u) << label;
        EXPECT_EQ(messages.shown[0].text, Damaged);
        EXPECT_EQ(messages.shown[0].icon, MessageIcon::Information);
        EXPECT_EQ(messages.shown[0].buttons, MessageButtons::Ok);
        EXPECT_FALSE(QFile::exists(home.settingsFile())) << label;
        EXPECT_EQ(readBytes(home.settingsFile() + QStringLiteral(".bak")), damaged) << label;
    }
}

TEST_F(SettingsFile, FailedLoadKeepsWhatItReadIntoFieldsWithoutADefault) {
    writeSettings([](QDomElement& root) {
        setAttribute(root, QStringLiteral("autodelete"), QStringLiteral("deletetime"),
                     QStringLiteral("33"));
        setAttribute(root, QStringLiteral("checkupdates"), QStringLiteral("enabled"),
                     QStringLiteral("maybe"));
    });
    const TConfig r = load();
    EXPECT_EQ(r.voxautodeletetime, 33);
    EXPECT_FALSE(r.voxautodelete);
    EXPECT_TRUE(r.checkupdates);
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(SettingsFile, FileThatIsNotXmlIsBackedUpOnceAndTheNextStartIsSilent) {
    writeBytes(home.settingsFile() + QStringLiteral(".bak"), "an older backup");
    writeBytes(home.settingsFile(), "this is not XML \x01\xff");
    TConfig first;
    loadconfig(QStringLiteral("tressic.xml"), first);
    EXPECT_TRUE(first == defaultsFor(home.settingsDir()));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, Damaged);
    EXPECT_FALSE(QFile::exists(home.settingsFile()));
    EXPECT_EQ(readBytes(home.settingsFile() + QStringLiteral(".bak")),
              QByteArray("this is not XML \x01\xff"));

    TConfig second;
    loadconfig(QStringLiteral("tressic.xml"), second);
    EXPECT_TRUE(second == defaultsFor(home.settingsDir()));
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(SettingsFile, ReadOnlyModeChangesNothingOnDiskAndShowsNothing) {
    // No folder yet: the read-only load does not create it.
    TConfig record;
    EXPECT_EQ(loadconfig(QStringLiteral("tressic.xml"), record, ConfigLoadMode::ReadOnly),
              QString());
    EXPECT_FALSE(QDir(home.settingsDir()).exists());
    EXPECT_TRUE(record == defaultsFor(home.settingsDir()));

    writeSettings([](QDomElement& root) {
        setAttribute(root, QStringLiteral("codec"), QStringLiteral("index"), QStringLiteral("2"));
    });
    EXPECT_EQ(loadconfig(QStringLiteral("tressic.xml"), record, ConfigLoadMode::ReadOnly),
              QString());
    EXPECT_EQ(record.codec, 2);

    writeSettings([](QDomElement& root) { removeElement(root, QStringLiteral("mixer")); });
    const QByteArray damaged = readBytes(home.settingsFile());
    const QString problem =
        loadconfig(QStringLiteral("tressic.xml"), record, ConfigLoadMode::ReadOnly);
    EXPECT_TRUE(problem.contains(QStringLiteral("mixer"))) << problem.toStdString();
    EXPECT_TRUE(problem.contains(home.settingsFile())) << problem.toStdString();
    EXPECT_TRUE(record == defaultsFor(home.settingsDir()));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(readBytes(home.settingsFile()), damaged);
    EXPECT_FALSE(QFile::exists(home.settingsFile() + QStringLiteral(".bak")));
}

TEST_F(SettingsFile, FailedWriteKeepsThePreviousFilesAndIsReported) {
    TConfig record;
    defaultconfig(record);
    record.codec = 3;
    ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), record));
    const QByteArray settingsBefore = readBytes(home.settingsFile());
    const QString eventsPath = home.settingsDir() + QStringLiteral("events.xml");
    const QByteArray eventsBefore = readBytes(eventsPath);
    const QStringList before = QDir(home.settingsDir()).entryList(QDir::Files);

    // The disk fills up in the middle of the new settings file.
    record.codec = 1;
    record.archive = QString(4000, QLatin1Char('a'));
    const int status = runWithFileSizeLimit(1024, [&record] {
        FakeMessages childMessages;
        events[1].name = QStringLiteral("not to be written");
        config.numevents = 1;
        const bool saved = saveconfig(QStringLiteral("tressic.xml"), record);
        if (saved) {
            return 1;
        }
        if (childMessages.shown.size() != 1 ||
            !childMessages.shown[0].text.contains(QStringLiteral("tressic.xml"))) {
            return 2;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(home.settingsFile()), settingsBefore);
    EXPECT_EQ(readBytes(eventsPath), eventsBefore);
    // No temporary file is left behind.
    EXPECT_EQ(QDir(home.settingsDir()).entryList(QDir::Files), before);
    EXPECT_EQ(load().codec, 3);

    // The settings file can be written but the events file cannot: reported, names untouched.
    const QString namesPath = home.settingsDir() + QStringLiteral("names.xml");
    const QByteArray namesBefore = readBytes(namesPath);
    ASSERT_TRUE(QFile::remove(eventsPath));
    ASSERT_TRUE(QDir().mkpath(eventsPath + QStringLiteral("/blocker")));
    namehistory << QStringLiteral("not to be written");
    messages.shown.clear();
    EXPECT_FALSE(saveconfig(QStringLiteral("tressic.xml"), record));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_TRUE(messages.shown[0].text.contains(eventsPath))
        << messages.shown[0].text.toStdString();
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Error);
    EXPECT_EQ(readBytes(namesPath), namesBefore);
}

TEST_F(SettingsFile, ControlCharactersDoNotSpoilTheFile) {
    // XML cannot carry most control characters; they are left out rather than written into
    // a file that would then fail to load and reset every setting.
    TConfig record;
    defaultconfig(record);
    record.namingexpression = QStringLiteral("rec\x01-NUM\x1f");
    record.archive = QStringLiteral("/music/a\tb");
    ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), record));
    const TConfig loaded = load();
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(loaded.namingexpression, QStringLiteral("rec-NUM"));
    EXPECT_EQ(loaded.archive, QStringLiteral("/music/a\tb"));
}
