#include "recoptions.h"

#include "common/version.h"
#include "settings/autoname.h"
#include "writers/codectable.h"
#include "writers/mp3bitrate.h"

#include <QCommandLineParser>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr double Week = 7 * 24 * 3600;

const QString ExitStatusHelp =
    QStringLiteral("\nExit status:\n"
                   "  0  the recording was stopped by --duration, Ctrl+C or SIGTERM\n"
                   "  1  the recording failed or was cut short (what was recorded is kept)\n"
                   "  2  bad command line\n"
                   "  3  no sound server answers\n"
                   "  4  no device to record from (or --device names none)\n");

RecParseResult failure(const QString& text) {
    RecParseResult result;
    result.action = RecParseResult::Action::Error;
    result.text = text;
    return result;
}

std::optional<int> parseInt(const QString& text, int low, int high) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<double> parseNumber(const QString& text, double low, double high) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < low || value > high)
        return std::nullopt;
    return value;
}

/// Whole seconds, written as seconds or as h:mm:ss.
std::optional<int> parseWholeSeconds(const QString& text, int low, int high) {
    const std::optional<double> seconds = parseClockSeconds(text);
    if (!seconds || *seconds != std::floor(*seconds) || *seconds < low || *seconds > high)
        return std::nullopt;
    return static_cast<int>(*seconds);
}

const QString TrackOption = QStringLiteral("split-on-track");

/// "--split-on-track" and "--split-on-track=PLAYER" as taken out of the command line.
struct TrackArguments {
    int count = 0;
    bool bare = false;
    std::optional<QString> player;
    QStringList rest; ///< everything else, in order, for the parser
};

// The parser knows no option whose value may be left out, so this one is taken out before it
// sees the rest. The values of the parser's own options are passed over, as are the arguments
// after "--", so that a template or folder spelled like the option stays what it is.
TrackArguments takeTrackArguments(const QStringList& arguments,
                                  const QList<QCommandLineOption>& options) {
    QStringList takesValue;
    for (const QCommandLineOption& option : options) {
        if (!option.valueName().isEmpty() && !option.names().contains(TrackOption))
            takesValue << option.names();
    }
    TrackArguments found;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--")) {
            found.rest << arguments.mid(i);
            break;
        }
        if (argument.size() < 2 || !argument.startsWith(QLatin1Char('-'))) {
            found.rest << argument;
            continue;
        }
        // One dash or two: the parser takes "-name" as "--name" too.
        const QString body = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        const qsizetype equals = body.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? body : body.left(equals);
        if (name == TrackOption) {
            ++found.count;
            if (equals < 0)
                found.bare = true;
            else
                found.player = body.mid(equals + 1);
            continue;
        }
        found.rest << argument;
        if (equals < 0 && takesValue.contains(name) && i + 1 < arguments.size())
            found.rest << arguments[++i];
    }
    return found;
}

} // namespace

std::optional<double> parseClockSeconds(const QString& text) {
    const QStringList parts = text.trimmed().split(QLatin1Char(':'));
    if (parts.size() > 3)
        return std::nullopt;
    double total = 0;
    for (int i = 0; i < parts.size(); ++i) {
        const bool last = i == parts.size() - 1;
        const QString& part = parts[i];
        // Signs, exponents and blanks are no way to write a time.
        if (part.isEmpty() || !part.front().isDigit() || !part.back().isDigit())
            return std::nullopt;
        for (const QChar c : part) {
            if (!c.isDigit() && !(last && c == QLatin1Char('.')))
                return std::nullopt;
        }
        bool ok = false;
        const double value = part.toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return std::nullopt;
        // Minutes and seconds after a colon are below 60; the first field is unbounded.
        if (i > 0 && value >= 60)
            return std::nullopt;
        total = total * 60 + value;
    }
    return total;
}

int32_t nearestMp3BitrateIndex(int kbps, int32_t sampleRate) {
    // Indexes beyond a table give the fallback 128, which the table itself holds at a
    // lower index, so scanning past the end never picks a wrong entry.
    int32_t best = 0;
    int bestDistance = std::abs(Mp3BitrateKbps(0, sampleRate) - kbps);
    for (int32_t index = 1; index < 16; ++index) {
        const int distance = std::abs(Mp3BitrateKbps(index, sampleRate) - kbps);
        if (distance < bestDistance) {
            best = index;
            bestDistance = distance;
        }
    }
    return best;
}

int32_t levelOfDecibels(double db) {
    const double level = std::round(32768.0 * std::pow(10.0, db / 20.0));
    return static_cast<int32_t>(std::clamp(level, 1.0, 32768.0));
}

RecParseResult parseRecOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Records what the computer plays (the default output device) to audio files."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Shows the version."));
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("Output format: mp3, ogg, wav or flac (wav)."),
                                    QStringLiteral("format"));
    const QCommandLineOption bitrate(
        QStringLiteral("bitrate"),
        QStringLiteral("MP3 bitrate in kbit/s, 8 to 320; the nearest the encoder offers is used "
                       "(128)."),
        QStringLiteral("kbps"));
    const QCommandLineOption quality(QStringLiteral("quality"),
                                     QStringLiteral("Ogg Vorbis quality, 0 to 10 (4)."),
                                     QStringLiteral("0..10"));
    const QCommandLineOption level(QStringLiteral("level"),
                                   QStringLiteral("FLAC compression level, 0 to 8 (4)."),
                                   QStringLiteral("0..8"));
    const QCommandLineOption output(
        QStringLiteral("output"), QStringLiteral("Folder for the recordings (your music folder)."),
        QStringLiteral("folder"));
    const QCommandLineOption name(
        QStringLiteral("name"),
        QStringLiteral("File name template: YY MM DD YS MN DW HH NN SS are replaced by the "
                       "date and time, NUM by a number counting up within this run "
                       "(YY-MM-DD-HH-NN-SS)."),
        QStringLiteral("template"));
    const QCommandLineOption duration(
        QStringLiteral("duration"),
        QStringLiteral("Stop after this time, in seconds or h:mm:ss (default: at Ctrl+C or "
                       "SIGTERM)."),
        QStringLiteral("time"));
    const QCommandLineOption vox(
        QStringLiteral("vox"),
        QStringLiteral("Record only while there is sound: a file opens when the level reaches "
                       "the threshold and closes after the silence time."));
    const QCommandLineOption threshold(QStringLiteral("threshold-db"),
                                       QStringLiteral("VOX threshold in dB, -90 to 0 (-26)."),
                                       QStringLiteral("dB"));
    const QCommandLineOption silence(
        QStringLiteral("silence"),
        QStringLiteral("VOX: seconds of silence that close a file, 0.1 to 3600 (2)."),
        QStringLiteral("seconds"));
    const QCommandLineOption minLength(
        QStringLiteral("min-length"),
        QStringLiteral("VOX: delete files with less sound than this, 1 to 86400 seconds."),
        QStringLiteral("seconds"));
    const QCommandLineOption split(
        QStringLiteral("split"),
        QStringLiteral("Continue in a new file (_part1, _part2, ...) after this time, in "
                       "seconds or h:mm:ss, 1 s to 7 days."),
        QStringLiteral("time"));
    const QCommandLineOption device(
        QStringLiteral("device"),
        QStringLiteral("Record this endpoint, by name or id (default: what the default output "
                       "plays)."),
        QStringLiteral("name"));
    const QCommandLineOption listDevices(QStringLiteral("list-devices"),
                                         QStringLiteral("Lists the endpoints; * marks the "
                                                        "default output."));
    const QCommandLineOption app(
        QStringLiteral("app"),
        QStringLiteral("Record only this application, by its name, program or process id (see "
                       "--list-apps), instead of everything the output plays."),
        QStringLiteral("name"));
    const QCommandLineOption listApps(QStringLiteral("list-apps"),
                                      QStringLiteral("Lists the applications now playing sound."));
    const QCommandLineOption settings(
        QStringLiteral("settings"),
        QStringLiteral("Take the defaults from the window program's settings (read only)."));
    // Listed for --help only; the value name is as wide as "[=PLAYER]", which replaces it, so
    // the columns stay aligned.
    const QCommandLineOption splitOnTrack(
        TrackOption,
        QStringLiteral("Start a new file when the media player changes track (PLAYER: its name "
                       "or D-Bus name; default: any). Goes with --split and --vox: each of them "
                       "starts a new file too."),
        QStringLiteral("PLAYER"));
    const QList<QCommandLineOption> options{
        help,         version,  format,      bitrate,   quality,  level,     output,
        name,         duration, vox,         threshold, silence,  minLength, split,
        splitOnTrack, device,   listDevices, app,       listApps, settings};
    parser.addOptions(options);

    const TrackArguments track = takeTrackArguments(arguments, options);
    // The parser wants the program name first.
    if (!parser.parse(QStringList{QStringLiteral("orvanta-rec")} + track.rest))
        return failure(parser.errorText() + QStringLiteral(" See --help."));
    if (parser.isSet(help)) {
        RecParseResult result;
        result.action = RecParseResult::Action::Help;
        result.text = parser.helpText().replace(QStringLiteral("--split-on-track <PLAYER>"),
                                                QStringLiteral("--split-on-track[=PLAYER]")) +
                      ExitStatusHelp;
        return result;
    }
    if (parser.isSet(version)) {
        RecParseResult result;
        result.action = RecParseResult::Action::Version;
        result.text = QStringLiteral("orvanta-rec " ORVANTA_VERSION "\n");
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        const QString first = parser.positionalArguments().front();
        // "--split-on-track vlc" is the likeliest way to get here.
        if (track.bare)
            return failure(QStringLiteral("unexpected argument \"%1\"; a player to follow is "
                                          "given as --split-on-track=%1. See --help.")
                               .arg(first));
        return failure(QStringLiteral("unexpected argument \"%1\". See --help.").arg(first));
    }
    if (track.count > 1)
        return failure(QStringLiteral("--split-on-track is given more than once."));
    if (track.player && (track.player->isEmpty() || !validtrackplayer(*track.player)))
        return failure(QStringLiteral("--split-on-track: expected a player's name or D-Bus name "
                                      "after \"=\", not \"%1\".")
                           .arg(*track.player));
    // A value given twice is most likely a mistake in a script; say so rather than guess.
    for (const QCommandLineOption* option :
         {&format, &bitrate, &quality, &level, &output, &name, &duration, &threshold, &silence,
          &minLength, &split, &device}) {
        if (parser.values(*option).size() > 1)
            return failure(
                QStringLiteral("--%1 is given more than once.").arg(option->names().front()));
    }

    RecOptions o;
    if (parser.isSet(format)) {
        const QString value = parser.value(format).toLower();
        for (int i = 0; i < CodecCount; ++i) {
            if (value == codecExtension(i))
                o.codec = i;
        }
        if (!o.codec)
            return failure(QStringLiteral("--format: expected mp3, ogg, wav or flac, not \"%1\".")
                               .arg(parser.value(format)));
    }
    if (parser.isSet(bitrate) && !(o.bitrateKbps = parseInt(parser.value(bitrate), 8, 320)))
        return failure(QStringLiteral("--bitrate: expected a whole number of kbit/s from 8 to "
                                      "320, not \"%1\".")
                           .arg(parser.value(bitrate)));
    if (parser.isSet(quality) && !(o.oggQuality = parseInt(parser.value(quality), 0, 10)))
        return failure(QStringLiteral("--quality: expected a whole number from 0 to 10, not "
                                      "\"%1\".")
                           .arg(parser.value(quality)));
    if (parser.isSet(level) && !(o.flacLevel = parseInt(parser.value(level), 0, 8)))
        return failure(QStringLiteral("--level: expected a whole number from 0 to 8, not \"%1\".")
                           .arg(parser.value(level)));
    if (parser.isSet(output)) {
        if (parser.value(output).isEmpty())
            return failure(QStringLiteral("--output: expected a folder, not an empty text."));
        o.outputFolder = parser.value(output);
    }
    if (parser.isSet(name)) {
        const QString value = parser.value(name);
        if (value.trimmed().isEmpty() || !checkexpression(value))
            return failure(QStringLiteral("--name: expected a file name template without any of "
                                          "\\ / : * ? \" < > |, not \"%1\".")
                               .arg(value));
        o.nameTemplate = value;
    }
    if (parser.isSet(duration)) {
        const std::optional<double> seconds = parseClockSeconds(parser.value(duration));
        if (!seconds || !(*seconds > 0) || *seconds > Week)
            return failure(QStringLiteral("--duration: expected seconds or h:mm:ss, above 0 and "
                                          "at most 7 days, not \"%1\".")
                               .arg(parser.value(duration)));
        o.durationSeconds = seconds;
    }
    o.vox = parser.isSet(vox);
    if (parser.isSet(threshold) && !(o.thresholdDb = parseNumber(parser.value(threshold), -90, 0)))
        return failure(QStringLiteral("--threshold-db: expected a number of dB from -90 to 0, "
                                      "not \"%1\".")
                           .arg(parser.value(threshold)));
    if (parser.isSet(silence) &&
        !(o.silenceSeconds = parseNumber(parser.value(silence), 0.1, 3600)))
        return failure(QStringLiteral("--silence: expected a number of seconds from 0.1 to "
                                      "3600, not \"%1\".")
                           .arg(parser.value(silence)));
    if (parser.isSet(minLength) &&
        !(o.minLengthSeconds = parseWholeSeconds(parser.value(minLength), 1, 86400)))
        return failure(QStringLiteral("--min-length: expected whole seconds from 1 to 86400 "
                                      "(or h:mm:ss), not \"%1\".")
                           .arg(parser.value(minLength)));
    if (parser.isSet(split) &&
        !(o.splitSeconds = parseWholeSeconds(parser.value(split), 1, static_cast<int>(Week))))
        return failure(QStringLiteral("--split: expected whole seconds or h:mm:ss, from 1 "
                                      "second to 7 days, not \"%1\".")
                           .arg(parser.value(split)));
    if (parser.isSet(device)) {
        if (parser.value(device).trimmed().isEmpty())
            return failure(QStringLiteral("--device: expected an endpoint name or id (see "
                                          "--list-devices), not an empty text."));
        o.device = parser.value(device);
    }
    if (parser.isSet(app)) {
        if (parser.value(app).trimmed().isEmpty())
            return failure(QStringLiteral("--app: expected an application's name, program or "
                                          "process id (see --list-apps), not an empty text."));
        o.application = parser.value(app).trimmed();
    }
    o.splitOnTrack = track.count > 0;
    o.trackPlayer = track.player;
    o.listDevices = parser.isSet(listDevices);
    o.useSettings = parser.isSet(settings);

    RecParseResult result;
    result.action = o.listDevices            ? RecParseResult::Action::ListDevices
                    : parser.isSet(listApps) ? RecParseResult::Action::ListApps
                                             : RecParseResult::Action::Record;
    result.options = o;
    return result;
}

void applyRecOptions(const RecOptions& o, TConfig& record, int32_t sampleRate) {
    if (o.codec)
        record.codec = *o.codec;
    if (o.bitrateKbps && sampleRate > 0)
        record.bitrate = nearestMp3BitrateIndex(*o.bitrateKbps, sampleRate);
    if (o.oggQuality)
        record.oggquality = *o.oggQuality;
    if (o.flacLevel)
        record.flaclevel = *o.flacLevel;
    if (o.nameTemplate)
        record.namingexpression = *o.nameTemplate;
    if (o.vox)
        record.vox = true;
    if (o.thresholdDb)
        record.trashold = levelOfDecibels(*o.thresholdDb);
    if (o.silenceSeconds)
        record.silence = static_cast<float>(*o.silenceSeconds);
    if (o.minLengthSeconds) {
        record.voxautodelete = true;
        record.voxautodeletetime = *o.minLengthSeconds;
    }
    if (o.splitSeconds) {
        record.splitteron = true;
        record.timelimit = *o.splitSeconds;
    }
    // Without a player named, the one from the settings (if they are read) is followed.
    if (o.splitOnTrack)
        record.splitontrack = true;
    if (o.trackPlayer)
        record.trackplayer = *o.trackPlayer;
    // Nobody can answer a file dialog here, and nothing else of the window program applies:
    // no scheduler, no start in pause.
    record.autoname = true;
    record.scheduler = false;
    record.pauserecord = false;
    record.nextnumber = 0;
}

QString recStatusLine(const QString& state, int64_t elapsedSeconds, int64_t bytes, int32_t level) {
    constexpr int MeterWidth = 20;
    const int64_t s = std::max<int64_t>(elapsedSeconds, 0);
    const QString time = QStringLiteral("%1:%2:%3")
                             .arg(s / 3600, 2, 10, QLatin1Char('0'))
                             .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                             .arg(s % 60, 2, 10, QLatin1Char('0'));
    const QString size = bytes < 1024 * 1024
                             ? QStringLiteral("%1 kB").arg(bytes / 1024)
                             : QStringLiteral("%1 MB").arg(double(bytes) / 1048576.0, 0, 'f', 2);
    // The meter spans -60..0 dB, the range where music lives.
    const int32_t db = leveltodb(std::max(level, 1));
    const int filled = std::clamp((db + 60) * MeterWidth / 60, 0, MeterWidth);
    const QString meter =
        QString(filled, QLatin1Char('#')) + QString(MeterWidth - filled, QLatin1Char('-'));
    const QString dbText = level <= 0 ? QStringLiteral("-inf dB") : QStringLiteral("%1 dB").arg(db);
    return QStringLiteral("%1 %2  %3  [%4] %5").arg(state, time, size, meter, dbText);
}
