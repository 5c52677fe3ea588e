#include "settings/config.h"

#include "common/datafiles.h"
#include "settings/desktop.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <unistd.h>

TConfig config;

QString defaultPath(const QString& programFolder) {
    // An installed program's folder is not writable, and every recording that falls back to
    // it would fail; the music folder is the user's own.
    if (!programFolder.isEmpty() &&
        access(QFile::encodeName(programFolder).constData(), W_OK) == 0) {
        return programFolder + QLatin1Char('/');
    }
    const QString music = getmusicfolder();
    if (!music.isEmpty() && QDir().mkpath(music)) {
        return music + QLatin1Char('/');
    }
    return QDir::homePath() + QLatin1Char('/');
}

void defaultconfig(TConfig& record) {
    record.path = defaultPath(executableFolder());
    record.archive = getmusicfolder();
    record.codec = configdefaults::codec;
    record.bitrate = configdefaults::bitrate;
    record.vbrmode = 0;
    record.autoname = true;
    record.namingexpression = QStringLiteral("YY-MM-DD-HH-NN-SS");
    record.namingnumber = 100;
    record.nextnumber = 0;
    record.oggquality = configdefaults::oggquality;
    record.scheduler = false;
    record.vox = false;
    record.voxautodelete = false;
    record.stayontop = false;
    record.trashold = configdefaults::trashold;
    record.silence = configdefaults::silence;
    record.flaclevel = configdefaults::flaclevel;
    record.minstartup = false;
    record.playvolume = 50;
    record.mixervolume = 50;
    record.numevents = 0;
    record.pauserecord = false;
    record.displaytype = configdefaults::displaytype;
    record.splitteron = false;
    record.timelimit = configdefaults::timelimit;
    record.autostop = false;
    record.autostoptime = 600;
    record.hotkeys = false;
    record.posx = -1;
    record.posy = -1;
    record.schedulercolumns = configdefaults::schedulercolumns;
    record.askconfirmation = true;
    record.checkupdates = true;
    record.splitontrack = false;
    record.trackplayer.clear();
    record.recordfrom.clear();
    record.recordfrombinary.clear();
}

bool validtrackplayer(const QString& name) {
    // D-Bus names are at most 255 characters; a player's own name is shorter still.
    constexpr int Longest = 255;
    if (name.isEmpty()) {
        return true;
    }
    if (name.size() > Longest || name.front().isSpace() || name.back().isSpace()) {
        return false;
    }
    return std::none_of(name.begin(), name.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

int32_t leveltodb(int32_t level) {
    // A level of 0 or below has no logarithm; show it as the quietest level that has one,
    // so that a damaged threshold never turns into infinity or an undefined conversion.
    const int32_t safeLevel = level < 1 ? 1 : level;
    const long double db = 20.0L * std::log10(static_cast<long double>(safeLevel) / 32768.0L);
    // Round half to even by hand rather than through the floating-point environment, whose
    // rounding mode another part of the process could have changed.
    const long double below = std::floor(db);
    const long double fraction = db - below;
    long double rounded = below;
    if (fraction > 0.5L) {
        rounded = below + 1.0L;
    } else if (fraction == 0.5L && std::fmod(below, 2.0L) != 0.0L) {
        rounded = below + 1.0L;
    }
    return static_cast<int32_t>(rounded);
}
