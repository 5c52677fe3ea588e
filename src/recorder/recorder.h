#pragma once

#include "recorderview.h"

#include "common/clock.h"
#include "common/tdatetime.h"
#include "common/trackinfo.h"
#include "common/waveformat.h"
#include "platform/playback/playbackengine.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class RecordingJournal;
class TAudioWriter;
class TWASAPISource;

/// The recorder: owns the current output file and its writer, turns the Start, Pause and
/// Stop commands into file operations and receives every captured block through event().
///
/// Everything here runs on the window thread without locks. Blocks arrive through the
/// capture source's hand-off, so commands, timers and blocks are serialised. A message box
/// opened inside event() runs a nested event loop: the storage thread is then still waiting
/// for the block in hand, so no further block arrives, but the capture thread's termination
/// report may; it is held back until the block in hand is finished.
class TRecorder {
public:
    /// Size of the copy buffer; a captured block holds a few kilobytes.
    static constexpr uint32_t RawBufferSize = 524288;

    TRecorder(RecorderView& view, Clock& clock, PlaybackEngine& playback);
    ~TRecorder();

    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    /// The capture source whose state StartClick checks (may be null: nothing starts).
    void setCaptureSource(TWASAPISource* source) { m_source = source; }
    /// The scheduler hooks (null: no scheduler).
    void setScheduler(RecorderScheduler* scheduler) { m_scheduler = scheduler; }
    /// The journal that lists each file while it is open, so that a file left unfinished by
    /// a crash is repaired at the next start (null: none). It must outlive the recorder.
    void setJournal(RecordingJournal* journal) { m_journal = journal; }

    void ShowStatus(int status);
    /// Shows "Output device changed: <name>" in the status line, in the colour of the
    /// current status; the first block after the clock has moved DeviceNoticeMs shows the
    /// status again, as does any change of status before.
    void ShowDeviceChange(const QString& name);
    /// "Waiting for <application>" stands in the status line in place of the status text
    /// while `application` is not empty: the application recorded alone has stopped playing.
    void ShowApplicationWaiting(const QString& application);
    static constexpr int64_t DeviceNoticeMs = 5000;
    /// Chooses the next output file and opens a writer on it: 0 when a writer is open,
    /// 1 when no file was opened.
    int32_t startrecord();
    void StartClick();
    void StopClick();
    void pauseClick();
    /// Closes the current file and goes back to listening (VOX) or to ready. A file that
    /// cannot be finished completely is reported in a message box.
    void fullstop();
    /// As fullstop(), for a program that is ending: no message box; returns empty, or a
    /// message naming the file and why it could not be finished completely.
    QString closeForExit();
    /// The data handler, installed as the capture source's OnData.
    void event(TWASAPISource* Sender, const void* data, int32_t dsize);
    /// The next automatic file name, without folder and extension.
    QString getautoname();
    /// `path` when no file or link of that name exists, otherwise the first free
    /// "name (2).ext", "name (3).ext", ... Window thread only (it looks at the disk).
    static QString freeFileName(const QString& path);
    /// As freeFileName(), but the name is taken by creating the file empty, atomically, so
    /// that another recorder looking at the same moment takes the next name. `reserved`
    /// tells whether the file was created; when it could not be (an unwritable folder), the
    /// first name not in use is returned for the writer to report why.
    static QString reserveFileName(const QString& path, bool* reserved);

    /// A media player now plays `track`. While a file is being written, it ends where the
    /// new track's audio begins, at `cutAtMs` (monotonicMs(): when the new track's first frame
    /// was played), cut inside the block that holds that moment, and the rest goes on in the
    /// next file, opened as a split by time opens it. Otherwise the next file starts with it.
    void trackChanged(const TrackInfo& track, double cutAtMs);
    /// The cut pending waits until `untilMs` (monotonicMs(); 0: no longer) for a better idea
    /// of where it falls.
    void holdTrackCut(double untilMs) { m_trackCutHeldUntilMs = untilMs; }
    /// More details of the track of the change pending, or else of the file in hand.
    void updateTrack(const TrackInfo& track);
    /// The cut for `track` still pending moves to `cutAtMs` when that is later.
    void moveTrackCut(const TrackInfo& track, double cutAtMs);
    /// The track of the file in hand (or of the next file).
    const TrackInfo& currentTrack() const { return m_track; }
    /// What a finished file held of its track.
    struct TrackFile {
        QString path;
        TrackInfo track;
        bool fromTrackStart = false; ///< the file began where its track began
        bool toTrackEnd = false;     ///< the file ended where the next track began
        int64_t frames = 0;          ///< the frames written
    };
    /// Called after each file is closed, when set; returns the file's path from then on
    /// (the file may be renamed there).
    std::function<QString(const TrackFile&)> trackFileClosed;

    /// "File Size: N Kb" up to 1 MiB, then "File Size: X Mb" with three significant digits.
    static QString sizeText(int64_t totalbytes, QChar decimalPoint = QLatin1Char('.'));

    // Recorder state read and set by the window, the scheduler and the monitoring timer.
    tWAVEFORMATEX PCM;
    std::unique_ptr<TAudioWriter> rec;
    bool closefile = false;
    QString globalname;
    std::unique_ptr<int16_t[]> rawbuffer; ///< 16-bit samples, so the peaks read them directly
    uint32_t bsize = 0;
    int16_t maxl = 0;
    int16_t maxr = 0;
    bool voxcounter = false;
    TDateTime voxtime = 0.0;
    int64_t voxdif = 0;
    QString recsize;
    int internalstatus = 0;
    /// Files that could not be finished completely since the recorder was made.
    int closeFailures = 0;
    /// Files that could not be created or written since the program started.
    int writeFailures = 0;
    /// Stop keeps what was played up to the moment of the Stop, which reaches the recorder a
    /// server latency later, where the capture dates its audio. Off: the file closes after
    /// the next block (a caller that counts the frames itself).
    bool drainAtStop = true;

    bool writing = false;
    bool filestarted = false;
    bool voxarmed = false;
    bool eventactive = false;
    int currentevent = -1;
    bool paused = false;
    int statusbeforepause = 0;
    TDateTime pausestart = 0.0;
    int workmode = 1;
    int partnumber = 0;
    int64_t totalbytes = 0;
    TDateTime filestart = 0.0;
    QString outputfile;
    QString lastfile;
    PlayStream playstream = 0;

    static const Rgb TEXTCOLOR;
    static const Rgb TEXTRED;
    static const Rgb TEXTYELLOW;

private:
    void handleBlock(const void* data, int32_t dsize);
    void measurePeaks();
    void runVox();
    void writeBlock();
    void writeFailed(const QString& reason);
    /// fullstop() without the report: returns why the file could not be finished, or empty.
    QString stopFile();
    void showCloseFailure(const QString& file, const QString& problem);
    /// The end of a failure's message: whether the file was kept or removed.
    QString keptOrRemoved() const;
    /// The whole frames of the block in hand that still fit into the current file.
    uint32_t roomLeft() const;
    void continueInNewPart();
    void showWriterError(const QString& message);
    void updateSizeText();
    void enterInJournal(TAudioWriter& writer);
    /// Ends the file at the pending track change inside the block in hand (`endMs`: when the
    /// block's last frame was played; 0 when unknown, then the whole block goes on).
    void cutAtTrackChange(double endMs);

    RecorderView& m_view;
    Clock& m_clock;
    PlaybackEngine& m_playback;
    TWASAPISource* m_source = nullptr;
    RecorderScheduler* m_scheduler = nullptr;
    RecordingJournal* m_journal = nullptr;
    QChar m_decimalPoint;
    int m_handlerDepth = 0;
    bool m_captureEndedPending = false;
    bool m_inStartrecord = false;
    /// A write failure is closing the file.
    bool m_writeFailing = false;
    /// The file closed last held no audio after a failure and was removed.
    bool m_fileRemoved = false;
    bool m_partContinuation = false;
    /// A Stop waits for the audio played before it: the file ends once a block reaches this
    /// moment (ms of monotonicMs(); 0: none pending).
    double m_stopAtMs = 0;
    QString m_waitingFor; ///< the application recorded alone, while it plays nothing
    bool m_deviceNotice = false;
    TDateTime m_deviceNoticeUntil = 0.0;
    int64_t m_sizeTextBytes = -1;
    uint32_t m_rawCapacity = RawBufferSize;
    TrackInfo m_track;
    TrackInfo m_nextTrack;
    double m_trackCutAtMs = 0; ///< a pending track change (0: none)
    double m_trackCutHeldUntilMs = 0;
    bool m_fileFromTrackStart = false;
    bool m_fileToTrackEnd = false;
    int64_t m_fileFrames = 0; ///< frames written to the file in hand
};
