#pragma once

// Helpers shared by the settings tests: a private home folder and random values.

#include "settings/config.h"
#include "settings/events.h"
#include "settings/namehistory.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        qputenv(name, value);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
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

// A private home for one test: HOME and the XDG configuration and data folders point into a
// temporary folder, so that no test reads or changes the real user's files.
class TempHome {
public:
    TempHome()
        : m_home("HOME", m_dir.path().toUtf8()),
          m_config("XDG_CONFIG_HOME", (m_dir.path() + QStringLiteral("/config")).toUtf8()),
          m_data("XDG_DATA_HOME", (m_dir.path() + QStringLiteral("/data")).toUtf8()) {}

    QString path() const { return m_dir.path(); }
    QString settingsDir() const {
        return m_dir.path() + QStringLiteral("/config/Velmora/Orvanta/");
    }
    QString settingsFile() const { return settingsDir() + QStringLiteral("tressic.xml"); }

private:
    QTemporaryDir m_dir;
    ScopedEnv m_home;
    ScopedEnv m_config;
    ScopedEnv m_data;
};

inline QByteArray readBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

inline void writeBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// Resets the process-wide stores between tests.
inline void clearStores() {
    config = TConfig{};
    events = {};
    namehistory.clear();
}

// Random text of characters that XML can carry: markup characters, blanks at either end,
// tab, line breaks, accented and wide characters, and characters beyond the basic plane.
inline QString randomText(std::mt19937& rng, int maxLength = 24) {
    static const char32_t pool[] = {U'a',          U'Z',  U'0',  U' ',      U'<',      U'>',
                                    U'&',          U'"',  U'\'', U'\t',     U'\n',     U'\r',
                                    U'%',          U'\\', U'/',  U'\u00e9', U'\u6587', U'\u20ac',
                                    U'\U0001F3B5', U'=',  U';',  U'-'};
    std::uniform_int_distribution<int> length(0, maxLength);
    std::uniform_int_distribution<size_t> pick(0, std::size(pool) - 1);
    QString text;
    for (int n = length(rng); n > 0; --n) {
        const char32_t c = pool[pick(rng)];
        text.append(QString::fromUcs4(&c, 1));
    }
    return text;
}

inline int32_t randomInt(std::mt19937& rng) {
    return static_cast<int32_t>(rng());
}

inline bool randomBool(std::mt19937& rng) {
    return (rng() & 1u) != 0;
}
