#include "trackfollower.h"

#include "common/clock.h"
#include "recorder/mediaplayers.h"
#include "settings/autoname.h"
#include "settings/config.h"

#include <QFile>

namespace {
// A little longer than the watcher asks a player for its position.
constexpr double MaxHeardWaitMs = 450;
} // namespace

TrackFollower::TrackFollower(TRecorder& recorder, MediaPlayerWatcher& watcher, TagFile tagFile,
                             QObject* parent)
    : QObject(parent), m_recorder(recorder), m_watcher(watcher), m_tagFile(std::move(tagFile)) {
    followConfiguredPlayer();
    m_recorder.trackChanged(m_watcher.current(), 0);
    // What plays already is known once the watcher has read the players it found.
    connect(&m_watcher, &MediaPlayerWatcher::settled, this, [this] {
        followConfiguredPlayer();
        if (!m_recorder.writing)
            m_recorder.trackChanged(m_watcher.current(), 0);
    });
    connect(&m_watcher, &MediaPlayerWatcher::playersChanged, this,
            &TrackFollower::followConfiguredPlayer);
    connect(&m_watcher, &MediaPlayerWatcher::trackChanged, this,
            [this](const TrackInfo& track, qint64 atMs) {
                followConfiguredPlayer();
                if (config.splitontrack) {
                    const double delay = captureDelayMs ? captureDelayMs() : 0.0;
                    m_recorder.trackChanged(track, static_cast<double>(atMs) + delay);
                    // Until the player tells when the track is heard (trackHeard).
                    m_recorder.holdTrackCut(monotonicMs() + MaxHeardWaitMs);
                } else if (!m_recorder.writing) {
                    // Not splitting: the next file still starts knowing what plays.
                    m_recorder.trackChanged(track, 0);
                }
            });
    connect(&m_watcher, &MediaPlayerWatcher::trackUpdated, this,
            [this](const TrackInfo& track) { m_recorder.updateTrack(track); });
    // The player's own word on when the track is heard replaces the estimate when it is
    // later: the monitor has the audio that much before it is heard.
    connect(&m_watcher, &MediaPlayerWatcher::trackHeard, this,
            [this](const TrackInfo& track, qint64 atMs) {
                if (!config.splitontrack)
                    return;
                const double delay = captureDelayMs ? captureDelayMs() : 0.0;
                if (atMs > 0)
                    m_recorder.moveTrackCut(track, static_cast<double>(atMs) - delay);
                m_recorder.holdTrackCut(0);
            });
    m_recorder.trackFileClosed = [this](const TRecorder::TrackFile& file) {
        return finishFile(file);
    };
}

QString TrackFollower::resolvePlayer(const QString& wanted,
                                     const QList<QPair<QString, QString>>& players) {
    if (wanted.isEmpty())
        return {};
    const QString prefix = QStringLiteral("org.mpris.MediaPlayer2.");
    for (const auto& [busName, identity] : players) {
        if (busName == wanted)
            return busName;
    }
    for (const auto& [busName, identity] : players) {
        const QString part = busName.mid(prefix.size());
        if (part.compare(wanted, Qt::CaseInsensitive) == 0 ||
            part.startsWith(wanted + QLatin1Char('.'), Qt::CaseInsensitive) ||
            identity.compare(wanted, Qt::CaseInsensitive) == 0)
            return busName;
    }
    return {};
}

void TrackFollower::followConfiguredPlayer() {
    QString player = resolvePlayer(config.trackplayer, m_watcher.players());
    // A named player that is not running: follow its bus name, so that nothing else cuts.
    if (player.isEmpty() && !config.trackplayer.isEmpty())
        player = config.trackplayer.contains(QLatin1Char('.'))
                     ? config.trackplayer
                     : QStringLiteral("org.mpris.MediaPlayer2.") + config.trackplayer;
    if (player != m_watcher.player())
        m_watcher.setPlayer(player);
}

QString TrackFollower::finishFile(const TRecorder::TrackFile& file) {
    // What was recorded while no player played anything is no part of a track: it keeps its
    // name and gets no tag.
    if (!config.splitontrack || !file.track.isKnown())
        return file.path;
    QString path = file.path;
    const int64_t recordedUs =
        m_recorder.PCM.nSamplesPerSec > 0
            ? file.frames * 1000000 / static_cast<int64_t>(m_recorder.PCM.nSamplesPerSec)
            : 0;
    if (isPartialTrack(!file.fromTrackStart, !file.toTrackEnd, recordedUs, file.track.lengthUs)) {
        const QString partial = TRecorder::freeFileName(partialTrackName(path));
        if (QFile::rename(path, partial))
            path = partial;
    }
    QString error;
    if (m_tagFile && !m_tagFile(path, file.track, &error) && tagFailed)
        tagFailed(error);
    return path;
}
