#include "settings/desktop.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        qputenv(name, value);
    }
    ~ScopedEnv() {
        if (m_had) {
            qputenv(m_name, m_old);
        } else {
            qunsetenv(m_name);
        }
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

} // namespace

TEST(StripExt, RemovesOnlyAnExtensionOfTheLastPathElement) {
    EXPECT_EQ(stripext(QStringLiteral("track.mp3")), QStringLiteral("track"));
    EXPECT_EQ(stripext(QStringLiteral("/rec/a.b/track")), QStringLiteral("/rec/a.b/track"));
    EXPECT_EQ(stripext(QStringLiteral("/rec/a.b/track.flac")), QStringLiteral("/rec/a.b/track"));
    EXPECT_EQ(stripext(QStringLiteral("/rec/track.part.ogg")), QStringLiteral("/rec/track.part"));
    EXPECT_EQ(stripext(QStringLiteral("/rec/track")), QStringLiteral("/rec/track"));
    EXPECT_EQ(stripext(QStringLiteral("track.")), QStringLiteral("track"));
    EXPECT_EQ(stripext(QString()), QString());
}

TEST(DesktopFolders, HaveNoTrailingSeparatorAndAreNotCreated) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QString config = home.path() + QStringLiteral("/config");
    ASSERT_TRUE(QDir().mkpath(config));
    {
        QFile dirs(config + QStringLiteral("/user-dirs.dirs"));
        ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_MUSIC_DIR=\"$HOME/Tunes/\"\n");
    }
    ScopedEnv homeEnv("HOME", home.path().toUtf8());
    ScopedEnv configEnv("XDG_CONFIG_HOME", (config + QStringLiteral("/")).toUtf8());

    EXPECT_EQ(getappdatafolder(), config);
    const QString music = getmusicfolder();
    EXPECT_FALSE(music.endsWith(QLatin1Char('/'))) << music.toStdString();
    EXPECT_EQ(music, home.path() + QStringLiteral("/Tunes"));
    EXPECT_FALSE(QDir(home.path() + QStringLiteral("/Tunes")).exists());
}
