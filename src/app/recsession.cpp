#include "recsession.h"

#include "browser/tagbinding.h"
#include "browser/tracktagging.h"
#include "capture/audioclienterrors.h"
#include "capture/threadfactory.h"
#include "capture/wasapisource.h"
#include "platform/audio/audioplatform.h"
#include "platform/playback/playbackengine.h"
#include "recorder/mediaplayers.h"
#include "recorder/recorder.h"
#include "recorder/trackfollower.h"
#include "settings/config.h"
#include "settings/desktop.h"
#include "settings/settingsfile.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

const QString SettingsFileName = QStringLiteral("tressic.xml");
/// Captured blocks are 16-bit stereo.
constexpr uint64_t BytesPerFrame = 4;
/// At a stop, audio played up to that moment that the server has not delivered yet is
/// still waited for, but never more than this much: more than any server's latency.
constexpr int64_t MaxOwedMs = 500;
/// Only a capture that has stalled is stopped by the clock: this long after the duration.
constexpr int64_t StallMs = 2000;

const char* flowText(int32_t flow) {
    return flow == audio::eRender ? "output" : "input";
}

} // namespace

/// Reports each file the recorder opened once it is closed and still there: a VOX file
/// deleted for being too short is not reported.
class RecSessionView final : public HeadlessRecorderView {
public:
    explicit RecSessionView(std::function<void(const QString&)> closed)
        : m_closed(std::move(closed)) {}

    // Called when the recorder opens a file.
    void setFileLabel(const QString&, const QString& file) override {
        report();
        m_open = file;
    }
    // Called whenever the recorder has closed a file.
    void refreshBrowser() override { report(); }
    /// The file opened last was renamed when it was finished.
    void renamed(const QString& from, const QString& to) {
        if (m_open == from)
            m_open = to;
    }

private:
    void report() {
        const QString file = std::exchange(m_open, QString());
        if (!file.isEmpty() && QFileInfo::exists(file) && m_closed)
            m_closed(file);
    }

    std::function<void(const QString&)> m_closed;
    QString m_open;
};

QString prepareRecConfig(const RecOptions& options, TConfig& record) {
    QString warning;
    if (options.useSettings) {
        const QString problem = loadconfig(SettingsFileName, record, ConfigLoadMode::ReadOnly);
        if (!problem.isEmpty()) {
            warning = QStringLiteral("the settings file %1 is damaged (%2); using the built-in "
                                     "defaults. The file was left as it is.")
                          .arg(settingsFolder() + SettingsFileName, problem);
        }
    } else {
        defaultconfig(record);
        // Uncompressed unless asked otherwise: needs no codec library and loses nothing.
        record.codec = 2;
    }
    applyRecOptions(options, record, 0);
    if (options.outputFolder)
        record.archive = *options.outputFolder;
    if (record.archive.isEmpty())
        record.archive = getmusicfolder();
    return warning;
}

RecSession::RecSession(audio::AudioEngine& engine, Clock& clock, Callbacks callbacks)
    : m_engine(engine), m_clock(clock), m_callbacks(std::move(callbacks)) {
    m_closeGuard.setSingleShot(true);
    QObject::connect(&m_closeGuard, &QTimer::timeout, [this] {
        // Capture has stalled since the stop: close the file without waiting for a block.
        if (m_recorder->rec)
            m_recorder->fullstop();
        finish(RecExitOk);
    });
}

RecSession::~RecSession() {
    close();
}

bool RecSession::connect(int* exitCode) {
    if (m_connected)
        return true;
    {
        std::unique_ptr<audio::IMMDeviceEnumerator> probe;
        if (m_engine.CreateEnumerator(&probe) == audio::AUDCLNT_E_SERVICE_NOT_RUNNING) {
            if (m_callbacks.error)
                m_callbacks.error(
                    QStringLiteral("no sound server answers. Start PulseAudio or PipeWire (with "
                                   "pipewire-pulse) and try again."));
            *exitCode = RecExitNoServer;
            return false;
        }
    }
    m_threads = std::make_unique<AudioThreadFactory>(m_handoff, m_engine);
    m_source = std::make_unique<TWASAPISource>(m_handoff, m_threads.get(), m_clock);
    m_source->setAudioEngine(&m_engine);
    m_source->propagate();
    m_view = std::make_unique<RecSessionView>([this](const QString& file) {
        if (m_callbacks.fileClosed)
            m_callbacks.fileClosed(file);
    });
    m_playback = std::make_unique<NullPlaybackEngine>();
    m_recorder = std::make_unique<TRecorder>(*m_view, m_clock, *m_playback);
    m_recorder->setCaptureSource(m_source.get());
    m_recorder->setJournal(m_journal);
    m_connected = true;
    return true;
}

void RecSession::followTracks() {
    // Without a session bus the watcher simply waits: the recording goes on in one file.
    m_players = std::make_unique<MediaPlayerWatcher>();
    m_tags = std::make_unique<TagBinding>();
    m_follower = std::make_unique<TrackFollower>(
        *m_recorder, *m_players,
        [this](const QString& path, const TrackInfo& track, QString* error) {
            return tagTrackFile(*m_tags, path, track, error);
        });
    // A player's new track reaches the monitor the output's latency after its signal.
    m_follower->captureDelayMs = [this] { return m_source->outputLatencyMs(); };
    m_follower->tagFailed = [this](const QString& text) {
        if (m_callbacks.error)
            m_callbacks.error(text);
    };
    // The first file is named after what plays: wait (briefly) until the players are read.
    if (!m_players->isSettled()) {
        QEventLoop wait;
        QObject::connect(m_players.get(), &MediaPlayerWatcher::settled, &wait, &QEventLoop::quit);
        QTimer::singleShot(1000, &wait, &QEventLoop::quit);
        wait.exec();
    }
    auto finish = std::move(m_recorder->trackFileClosed);
    m_recorder->trackFileClosed = [this, finish](const TRecorder::TrackFile& file) {
        const QString path = finish(file);
        m_view->renamed(file.path, path);
        return path;
    };
}

void RecSession::setJournal(RecordingJournal* journal) {
    m_journal = journal;
    if (m_recorder)
        m_recorder->setJournal(journal);
}

QString RecSession::deviceList(int* exitCode) {
    if (!connect(exitCode))
        return {};
    QString text;
    const TWASAPIDevices& cards = m_source->cards;
    for (int c = 0; c < cards.Count(); ++c) {
        const TWASAPIDevice& card = cards.GetItem(c);
        for (int e = 0; card.inputs && e < card.inputs->Count(); ++e) {
            const TWASAPIDevice& endpoint = card.inputs->GetItem(e);
            const bool isDefault = c == m_source->defaultcard && e == m_source->defaultinput &&
                                   endpoint.DataFlow == audio::eRender;
            QString line =
                QStringLiteral("%1 %2 (%3, %4 Hz, %5 ch) on %6  id: %7")
                    .arg(isDefault ? QStringLiteral("*") : QStringLiteral(" "),
                         endpoint.Description, QLatin1String(flowText(endpoint.DataFlow)))
                    .arg(endpoint.SamplingRate)
                    .arg(endpoint.Channels)
                    .arg(card.Description, endpoint.ID);
            if (endpoint.State != 1)
                line += QStringLiteral("  (not active)");
            text += line + QLatin1Char('\n');
        }
    }
    *exitCode = RecExitOk;
    return text;
}

QString RecSession::applicationList(int* exitCode) {
    if (!connect(exitCode))
        return {};
    std::vector<audio::PlayingApplication> apps;
    if (const audio::HRESULT status = audio::listPlayingApplications(m_engine, &apps);
        audio::failed(status)) {
        if (m_callbacks.error)
            m_callbacks.error(
                QStringLiteral("cannot list the applications playing (%1).")
                    .arg(AudioClientErrorText(QString(), status, QString()).trimmed()));
        *exitCode = RecExitFailure;
        return {};
    }
    QString text;
    for (const audio::PlayingApplication& app : apps) {
        QString line = app.name.isEmpty() ? QStringLiteral("(unnamed)") : app.name;
        QStringList details;
        if (!app.binary.isEmpty())
            details << app.binary;
        if (app.pid > 0)
            details << QStringLiteral("pid %1").arg(app.pid);
        if (!details.isEmpty())
            line += QStringLiteral(" (%1)").arg(details.join(QStringLiteral(", ")));
        if (!app.mediaName.isEmpty())
            line += QStringLiteral(": ") + app.mediaName;
        text += line + QStringLiteral("  on ") + app.outputId + QLatin1Char('\n');
    }
    if (apps.empty())
        text = QStringLiteral("No application is playing sound now.\n");
    *exitCode = RecExitOk;
    return text;
}

int RecSession::start(const RecOptions& options) {
    int code = RecExitFailure;
    if (!connect(&code))
        return code;
    const auto error = [this](const QString& text) {
        if (m_callbacks.error)
            m_callbacks.error(text);
    };

    int card = -1;
    int input = -1;
    if (options.device) {
        // An id names one endpoint; a name may be worn by several, which is then ambiguous.
        int matches = 0;
        for (const bool byId : {true, false}) {
            for (int c = 0; c < m_source->cards.Count(); ++c) {
                const TWASAPIDevice& item = m_source->cards.GetItem(c);
                for (int e = 0; item.inputs && e < item.inputs->Count(); ++e) {
                    const TWASAPIDevice& endpoint = item.inputs->GetItem(e);
                    const bool match = byId ? endpoint.ID == *options.device
                                            : endpoint.Description.compare(
                                                  *options.device, Qt::CaseInsensitive) == 0;
                    if (match && matches++ == 0) {
                        card = c;
                        input = e;
                    }
                }
            }
            if (matches > 0)
                break;
        }
        if (matches == 0) {
            error(QStringLiteral("--device: no endpoint is named \"%1\"; --list-devices lists "
                                 "them.")
                      .arg(*options.device));
            return RecExitNoDevice;
        }
        if (matches > 1) {
            error(QStringLiteral("--device: several endpoints are named \"%1\"; give its id "
                                 "(see --list-devices).")
                      .arg(*options.device));
            return RecExitNoDevice;
        }
    } else {
        if (m_source->cards.Count() == 0 || m_source->inputs.isEmpty() ||
            m_source->cards.GetItem(m_source->defaultcard)
                    .inputs->GetItem(m_source->defaultinput)
                    .DataFlow != audio::eRender) {
            error(QStringLiteral("no output device found. Check the system's sound settings."));
            return RecExitNoDevice;
        }
        card = m_source->defaultcard;
        input = m_source->defaultinput;
    }
    if (options.application) {
        std::unique_ptr<audio::IMMDeviceEnumerator> enumerator;
        std::vector<audio::PlayingApplication> apps;
        if (audio::failed(m_engine.CreateEnumerator(&enumerator)) ||
            audio::failed(enumerator->EnumPlayingApplications(&apps)) ||
            !audio::findPlayingApplication(apps, *options.application)) {
            error(QStringLiteral("--app: no application \"%1\" is playing sound now; "
                                 "--list-apps lists those that are.")
                      .arg(*options.application));
            return RecExitNoDevice;
        }
    }
    const TWASAPIDevice& endpoint = m_source->cards.GetItem(card).inputs->GetItem(input);
    if (endpoint.State != 1) {
        error(QStringLiteral("the endpoint \"%1\" is not active.").arg(endpoint.Description));
        return RecExitNoDevice;
    }
    const int32_t rate = endpoint.SamplingRate > 0 ? endpoint.SamplingRate : m_source->defaultrate;
    if (options.bitrateKbps)
        config.bitrate = nearestMp3BitrateIndex(*options.bitrateKbps, rate);

    // Only now, when recording can start, is the output folder made.
    if (config.archive.isEmpty()) {
        error(QStringLiteral("cannot create the output folder \"%1\".").arg(config.archive));
        return RecExitFailure;
    }
    {
        // QDir::mkpath does not say why it failed; the system's reason is what helps.
        std::error_code failure;
        std::filesystem::create_directories(
            std::filesystem::path(QFile::encodeName(config.archive).toStdString()), failure);
        if (failure || !QFileInfo(config.archive).isDir()) {
            error(QStringLiteral("cannot create the output folder \"%1\": %2")
                      .arg(config.archive, failure
                                               ? QString::fromLocal8Bit(failure.message().c_str())
                                               : QString::fromLocal8Bit(std::strerror(ENOTDIR))));
            return RecExitFailure;
        }
    }
    config.archive = QFileInfo(config.archive).absoluteFilePath();
    // Never fall back to the program's folder: a missing output folder is an error here.
    config.path = config.archive + QLatin1Char('/');

    m_source->fillinputs(card);
    m_recorder->PCM = pcm16Stereo(static_cast<uint32_t>(rate));
    // The run counts its frames and reads on at a stop itself.
    m_recorder->drainAtStop = false;
    m_rate = static_cast<uint32_t>(rate);
    m_source->OnData = [this](TWASAPISource* sender, const void* data, int32_t size) {
        // The block that reaches the run's last frame is cut there and closes the file.
        if (size > 0 && m_lastFrame > 0 && !m_finished && !m_lastBlockSeen) {
            const uint64_t left =
                m_lastFrame > m_framesReceived ? m_lastFrame - m_framesReceived : 0;
            if (static_cast<uint64_t>(size) >= left * BytesPerFrame) {
                size = static_cast<int32_t>(left * BytesPerFrame);
                m_lastBlockSeen = true;
                m_stopRequested = true;
                m_closeGuard.stop();
                // The file closes after this block.
                m_recorder->StopClick();
            }
        }
        m_recorder->event(sender, data, size);
        onBlock(data, size);
    };
    if (config.splitontrack)
        followTracks();
    m_source->OnDeviceChange = [this](TWASAPISource*, const QString& name) {
        if (m_callbacks.deviceChanged)
            m_callbacks.deviceChanged(name);
    };
    m_source->setApplication(options.application.value_or(QString()));
    m_source->OnApplicationWaiting = [this](TWASAPISource*, const QString& app, bool waiting) {
        if (m_callbacks.notice)
            m_callbacks.notice(waiting ? QStringLiteral("Waiting for %1").arg(app)
                                       : QStringLiteral("Recording %1 again").arg(app));
    };
    if (!m_source->startnew(card, input, m_recorder->PCM) || !m_source->started) {
        m_source->OnData = nullptr;
        error(QStringLiteral("cannot start capture on \"%1\".").arg(endpoint.Description));
        return RecExitNoDevice;
    }
    m_started = m_clock.now();
    m_duration = options.durationSeconds.value_or(0);
    // The duration is counted in frames, so that the file holds exactly that much audio
    // whenever the server delivers it.
    if (m_duration > 0)
        m_lastFrame =
            std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(m_duration * m_rate)));
    m_recorder->StartClick();
    if (!config.vox && !m_recorder->writing) {
        m_source->OnData = nullptr;
        m_source->stop();
        return RecExitFailure;
    }
    m_recording = true;
    return -1;
}

void RecSession::onBlock(const void*, int32_t size) {
    if (m_finished)
        return;
    if (size > 0) {
        m_bytesReceived += static_cast<uint64_t>(size);
        m_framesReceived += static_cast<uint64_t>(size) / BytesPerFrame;
        if (!m_receiving) {
            m_receiving = true;
            if (m_callbacks.receiving)
                m_callbacks.receiving();
        }
    }
    if (size < 0) {
        // The recorder has closed the file already.
        if (m_stopRequested) {
            finish(RecExitOk);
        } else {
            if (m_callbacks.error)
                m_callbacks.error(
                    m_source->serverLost()
                        ? QStringLiteral("capture ended before the recording was stopped: the "
                                         "sound server stopped. The file was closed.")
                        : QStringLiteral("capture ended before the recording was stopped; the "
                                         "file was closed."));
            finish(RecExitFailure);
        }
        return;
    }
    if (m_stopRequested) {
        if (!m_recorder->rec)
            finish(RecExitOk);
        return;
    }
    // Outside VOX a file is always open; none means a write failure closed it.
    if (!config.vox && !m_recorder->rec) {
        finish(RecExitFailure);
        return;
    }
    checkDuration();
}

void RecSession::checkDuration() {
    // A capture that delivers nothing any more still ends the run, with what it gave.
    if (m_duration > 0 && !m_stopRequested &&
        datetime::millisecondsBetween(m_started, m_clock.now()) >=
            static_cast<int64_t>(m_duration * 1000) + StallMs)
        requestStop();
}

void RecSession::tick() {
    if (m_recording && !m_finished)
        checkDuration();
}

void RecSession::requestStop() {
    if (!m_recording || m_finished || m_stopRequested) {
        if (!m_recording && !m_finished)
            finish(RecExitOk);
        return;
    }
    if (!m_recorder->rec) {
        m_stopRequested = true;
        m_recorder->StopClick();
        // VOX was listening, no file is open: nothing to wait for.
        m_recorder->fullstop();
        finish(RecExitOk);
        return;
    }
    // What was played up to now reaches us a latency later: the recording goes on until
    // it holds as many frames as the time since the start (the capture keeps the stream's
    // timeline), but waits for no more than any server owes.
    const int64_t elapsedMs =
        std::max<int64_t>(0, datetime::millisecondsBetween(m_started, m_clock.now()));
    const uint64_t played = static_cast<uint64_t>(elapsedMs) * m_rate / 1000;
    const uint64_t owed =
        std::min<uint64_t>(played > m_framesReceived ? played - m_framesReceived : 0,
                           uint64_t{m_rate} * MaxOwedMs / 1000);
    if (owed == 0) {
        m_stopRequested = true;
        m_recorder->StopClick();
        m_recorder->fullstop();
        finish(RecExitOk);
        return;
    }
    m_stopRequested = true;
    const uint64_t last = m_framesReceived + owed;
    m_lastFrame = m_lastFrame > 0 ? std::min(m_lastFrame, last) : last;
    // If capture has stalled, the guard closes the file with what it has.
    m_closeGuard.start(1000);
}

void RecSession::finish(int exitCode) {
    if (m_finished)
        return;
    m_finished = true;
    // A file that could not be finished was reported when it was closed; the run failed.
    // So did one that could not be written, as a VOX run goes on listening after it.
    if (exitCode == RecExitOk && m_recorder &&
        (m_recorder->closeFailures > 0 || m_recorder->writeFailures > 0))
        exitCode = RecExitFailure;
    m_exitCode = exitCode;
    m_closeGuard.stop();
    if (m_callbacks.finished)
        m_callbacks.finished(exitCode);
}

int64_t RecSession::elapsedSeconds() const {
    if (!m_recording)
        return 0;
    return datetime::millisecondsBetween(m_started, m_clock.now()) / 1000;
}

void RecSession::close() {
    m_closeGuard.stop();
    if (!m_source)
        return;
    m_source->OnData = nullptr;
    m_source->OnDeviceChange = nullptr;
    m_source->OnApplicationWaiting = nullptr;
    if (m_recorder->rec)
        m_recorder->fullstop();
    if ((m_recorder->closeFailures > 0 || m_recorder->writeFailures > 0) && m_exitCode == RecExitOk)
        m_exitCode = RecExitFailure;
    m_source->stop();
}
