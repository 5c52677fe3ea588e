#include "app/browserrun.h"

#include "browser/tagaccess.h"
#include "browser/tagbinding.h"
#include "tagvessel/tagtestfiles.h"

#include <QElapsedTimer>
#include <QProcess>

#include <csignal>

namespace {

const char* const Formats[] = {"mp3", "ogg", "wav", "flac"};

QString expectedRow(const char* extension) {
    return QStringLiteral(
               "orvanta: browser row \"a.%1\": title \"Title %1\", artist \"Artist\", 2 s")
        .arg(QString::fromLatin1(extension));
}

} // namespace

QString makeTaggedRecordings(const QString& folder) {
    TagBinding binding{QStringLiteral(TAGVESSEL_LIBRARY)};
    if (!binding.canSave())
        return QStringLiteral("the tag library of the build: ") + binding.error();
    const TagAccess access(binding);
    for (const TagFormat& format : TagFormats) {
        const QString extension = QString::fromLatin1(format.extension);
        const QString path = folder + QStringLiteral("/a.") + extension;
        if (!makeSoundFile(format, path, 2))
            return QStringLiteral("cannot write ") + path;
        audiotag tag;
        tag.title = QStringLiteral("Title ") + extension;
        tag.artist = QStringLiteral("Artist");
        if (access.saveTag(path, tag) != SaveTagResult::Saved)
            return QStringLiteral("cannot tag ") + path;
    }
    return {};
}

QString browserListing(const QString& program, QProcessEnvironment env) {
    env.remove(QStringLiteral("ORVANTA_DATA_DIR"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("ORVANTA_STARTUP_TRACE"), QStringLiteral("1"));
    env.insert(QStringLiteral("ORVANTA_BROWSER_TRACE"), QStringLiteral("1"));
    env.insert(QStringLiteral("ORVANTA_DATA_TRACE"), QStringLiteral("1"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, {});
    if (!process.waitForStarted(10000))
        return QStringLiteral("did not start");
    QString output;
    QElapsedTimer guard;
    guard.start();
    qint64 pressedAt = -1;
    // The hot key is pressed again each second: the first may come before it is registered.
    while (guard.elapsed() < 60000 && process.state() == QProcess::Running &&
           output.count(QStringLiteral("orvanta: browser row")) < 4) {
        if (output.contains(QStringLiteral("window shown")) &&
            (pressedAt < 0 || guard.elapsed() - pressedAt > 1000)) {
            QProcess::execute(QStringLiteral("xdotool"),
                              {QStringLiteral("key"), QStringLiteral("--clearmodifiers"),
                               QStringLiteral("ctrl+alt+f")});
            pressedAt = guard.elapsed();
        }
        process.waitForReadyRead(200);
        output += QString::fromUtf8(process.readAll());
    }
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(10000);
    }
    return output + QString::fromUtf8(process.readAll());
}

QString missingTaggedRows(const QString& output) {
    QString missing;
    // Every file the program looked for among its own was found.
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("orvanta: data file")) &&
            line.endsWith(QStringLiteral(": not found")))
            missing += line + QLatin1Char('\n');
    }
    for (const char* extension : Formats) {
        if (!output.contains(expectedRow(extension)))
            missing += expectedRow(extension) + QLatin1Char('\n');
    }
    return missing;
}
