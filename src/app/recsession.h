#pragma once

#include "recoptions.h"

#include "common/clock.h"
#include "common/handoff.h"

#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace audio {
class AudioEngine;
}
class AudioThreadFactory;
class TWASAPISource;
class TRecorder;
class NullPlaybackEngine;
class RecordingJournal;
class RecSessionView;
class MediaPlayerWatcher;
class TagBinding;
class TrackFollower;

/// Exit statuses of orvanta-rec.
enum RecExit : int {
    RecExitOk = 0,       ///< stopped by --duration, Ctrl+C or SIGTERM
    RecExitFailure = 1,  ///< the recording could not be made or was cut short
    RecExitUsage = 2,    ///< bad command line
    RecExitNoServer = 3, ///< no sound server answers
    RecExitNoDevice = 4, ///< no endpoint to record from
};

/// Fills `record` for a run: the built-in defaults, or with --settings those of the window
/// program's settings file, read without touching it; then the options given. Returns a
/// warning when the settings file is damaged (the built-in defaults are used then).
/// Window thread only (the settings loader's rule).
QString prepareRecConfig(const RecOptions& options, TConfig& record);

/// One run of the command-line recorder over an audio engine: picks the endpoint, starts
/// capture and the recorder (on the global `config`), stops after the duration or on
/// request, and reports what a caller prints. Drive it from an event loop.
///
/// Threads: everything on the window thread, which must serve the hand-off (an event loop,
/// or processEvents).
class RecSession {
public:
    struct Callbacks {
        std::function<void()> receiving;                     ///< once, first sound block
        std::function<void(const QString& file)> fileClosed; ///< each file kept
        std::function<void(const QString& text)> error;      ///< a failure to report
        std::function<void(int exitCode)> finished;          ///< the run is over
        /// Capture went on on another output; `name` describes it.
        std::function<void(const QString& name)> deviceChanged;
        /// Something the user should know that is no failure.
        std::function<void(const QString& text)> notice;
    };

    RecSession(audio::AudioEngine& engine, Clock& clock, Callbacks callbacks);
    ~RecSession();

    RecSession(const RecSession&) = delete;
    RecSession& operator=(const RecSession&) = delete;

    /// The endpoint list, one line each, "*" before the default output. Empty text and an
    /// exit status in `exitCode` when it cannot be read.
    QString deviceList(int* exitCode);
    /// The applications now playing, a line each.
    QString applicationList(int* exitCode);

    /// The journal in which each file is listed while it is open (null: none). It must
    /// outlive the session; set it before start().
    void setJournal(RecordingJournal* journal);

    /// Starts recording as `options` say, with `config` already prepared. Returns -1 while
    /// the recording runs, otherwise the exit status of a run that could not start (the
    /// error callback has said why).
    int start(const RecOptions& options);

    /// Ends the run (exit status 0) once the audio played up to now has arrived and been
    /// written.
    void requestStop();
    /// Checks the duration between blocks; call it now and then.
    void tick();
    /// Stops capture and closes any open file. The destructor calls it.
    void close();

    bool isFinished() const { return m_finished; }
    int exitCode() const { return m_exitCode; }
    /// Bytes of audio handled so far, for tests that feed blocks one at a time.
    uint64_t bytesReceived() const { return m_bytesReceived; }
    int64_t elapsedSeconds() const;
    const TRecorder& recorder() const { return *m_recorder; }

private:
    bool connect(int* exitCode);
    void onBlock(const void* data, int32_t size);
    void finish(int exitCode);
    void checkDuration();
    /// Splits and tags at the media players' track changes.
    void followTracks();

    audio::AudioEngine& m_engine;
    Clock& m_clock;
    Callbacks m_callbacks;
    WindowThreadHandoff m_handoff;
    std::unique_ptr<AudioThreadFactory> m_threads;
    std::unique_ptr<TWASAPISource> m_source;
    std::unique_ptr<RecSessionView> m_view;
    std::unique_ptr<NullPlaybackEngine> m_playback;
    std::unique_ptr<TRecorder> m_recorder;
    std::unique_ptr<MediaPlayerWatcher> m_players;
    std::unique_ptr<TagBinding> m_tags;
    std::unique_ptr<TrackFollower> m_follower;
    RecordingJournal* m_journal = nullptr;
    QTimer m_closeGuard;
    TDateTime m_started = 0.0;
    double m_duration = 0;
    uint32_t m_rate = 48000;
    uint64_t m_bytesReceived = 0;
    uint64_t m_framesReceived = 0;
    /// The frame count at which the file is closed (0: none yet): the duration, or the
    /// time of a stop plus what the server still owed then.
    uint64_t m_lastFrame = 0;
    bool m_lastBlockSeen = false;
    bool m_connected = false;
    bool m_receiving = false;
    bool m_recording = false;
    bool m_stopRequested = false;
    bool m_finished = false;
    int m_exitCode = RecExitFailure;
};
