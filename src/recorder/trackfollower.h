#pragma once

#include "recorder/recorder.h"

#include <QObject>
#include <QString>

#include <functional>

class MediaPlayerWatcher;

/// Splits and tags a recording at a media player's track changes: hands the watcher's
/// changes to the recorder while splitting by tracks is on (`config.splitontrack`, the
/// player `config.trackplayer`), and finishes each track file: " (partial)" in its name when
/// it holds only part of its track, then the player's tag. Window thread.
class TrackFollower : public QObject {
    Q_OBJECT

public:
    /// Tags a finished file (`path`, its track); false with the reason when it could not.
    using TagFile =
        std::function<bool(const QString& path, const TrackInfo& track, QString* error)>;

    TrackFollower(TRecorder& recorder, MediaPlayerWatcher& watcher, TagFile tagFile,
                  QObject* parent = nullptr);
    ~TrackFollower() override { m_recorder.trackFileClosed = nullptr; }

    /// How much later than a player's signal the new track's first frame is captured
    /// (ms); 0 unless set.
    std::function<double()> captureDelayMs;
    /// A finished track file could not be tagged (the recording goes on).
    std::function<void(const QString& text)> tagFailed;

    /// The player to follow for a setting's value: a bus name, its last part ("vlc", also
    /// matching "org.mpris.MediaPlayer2.vlc.instance12") or the name the player shows; empty
    /// for any player. Empty when no running player matches it.
    static QString resolvePlayer(const QString& wanted,
                                 const QList<QPair<QString, QString>>& players);

private:
    void followConfiguredPlayer();
    QString finishFile(const TRecorder::TrackFile& file);

    TRecorder& m_recorder;
    MediaPlayerWatcher& m_watcher;
    TagFile m_tagFile;
};
