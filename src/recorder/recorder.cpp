#include "recorder.h"

#include "capture/wasapisource.h"
#include "common/clock.h"
#include "recorder/journal.h"
#include "settings/autoname.h"
#include "settings/config.h"
#include "settings/desktop.h"
#include "writers/audiowriter.h"
#include "writers/codectable.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const Rgb TRecorder::TEXTCOLOR{255, 255, 255};
const Rgb TRecorder::TEXTRED{244, 91, 91};
const Rgb TRecorder::TEXTYELLOW{255, 255, 0};

namespace {

const QString& statusText(int status) {
    static const QString texts[] = {QStringLiteral("Ready"), QStringLiteral("Recording"),
                                    QStringLiteral("Listen..."), QStringLiteral("Pause"),
                                    QStringLiteral("Play")};
    static const QString none;
    return status >= 0 && status < 5 ? texts[status] : none;
}

constexpr int StatusIcons[] = {0, 1, 2, 3, 0};
/// A Stop waits no longer than this for the audio played before it: more than any sound
/// server's latency.
constexpr double MaxStopDrainMs = 1000;

const QString AppCaption = QStringLiteral("Orvanta");

// The largest absolute sample; -32768 counts as 32767 so that a full-scale block never
// wraps to a negative level.
inline int16_t peakOf(int value) {
    return static_cast<int16_t>(std::min(value < 0 ? -value : value, 32767));
}

} // namespace

TRecorder::TRecorder(RecorderView& view, Clock& clock, PlaybackEngine& playback)
    : PCM(pcm16Stereo(44100)), rawbuffer(new int16_t[RawBufferSize / 2]), m_view(view),
      m_clock(clock), m_playback(playback) {
    const QString point = QLocale().decimalPoint();
    m_decimalPoint = point.isEmpty() ? QLatin1Char('.') : point.front();
}

TRecorder::~TRecorder() = default;

namespace {

Rgb statusColour(int status) {
    return status == 1                    ? TRecorder::TEXTRED
           : (status == 2 || status == 3) ? TRecorder::TEXTYELLOW
                                          : TRecorder::TEXTCOLOR;
}

int statusIcon(int status) {
    return status >= 0 && status < 5 ? StatusIcons[status] : 0;
}

} // namespace

void TRecorder::ShowStatus(int status) {
    internalstatus = status;
    m_deviceNotice = false;
    // While the application recorded alone is silent because it is gone, that is what the
    // user needs to know; colour and icon still tell the state.
    m_view.showStatus(m_waitingFor.isEmpty() ? statusText(status)
                                             : QStringLiteral("Waiting for ") + m_waitingFor,
                      statusColour(status), statusIcon(status));
}

void TRecorder::ShowApplicationWaiting(const QString& application) {
    m_waitingFor = application;
    ShowStatus(internalstatus);
}

void TRecorder::ShowDeviceChange(const QString& name) {
    m_view.showStatus(QStringLiteral("Output device changed: ") + name,
                      statusColour(internalstatus), statusIcon(internalstatus));
    m_deviceNotice = true;
    m_deviceNoticeUntil = datetime::addMilliseconds(m_clock.now(), DeviceNoticeMs);
}

QString TRecorder::freeFileName(const QString& path) {
    const QFileInfo wanted(path);
    if (!wanted.exists() && !wanted.isSymLink())
        return path;
    const QString stem = stripext(path);
    const QString extension = path.mid(stem.size()); // with its dot, or empty
    for (int n = 2;; ++n) {
        const QString candidate =
            stem + QStringLiteral(" (") + QString::number(n) + QLatin1Char(')') + extension;
        const QFileInfo info(candidate);
        if (!info.exists() && !info.isSymLink())
            return candidate;
    }
}

QString TRecorder::reserveFileName(const QString& path, bool* reserved) {
    *reserved = false;
    const QString stem = stripext(path);
    const QString extension = path.mid(stem.size()); // with its dot, or empty
    QString candidate = path;
    for (int n = 2;; ++n) {
        const QByteArray name = QFile::encodeName(candidate);
        int fd = -1;
        do {
            fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            ::close(fd);
            *reserved = true;
            return candidate;
        }
        // O_EXCL also refuses a dangling link. Another failure is the folder's, but a file
        // that exists all the same must still not be replaced.
        struct stat info {};
        if (errno != EEXIST && ::lstat(name.constData(), &info) != 0)
            return candidate;
        candidate = stem + QStringLiteral(" (") + QString::number(n) + QLatin1Char(')') + extension;
    }
}

QString TRecorder::getautoname() {
    QString eventName;
    if (eventactive && m_scheduler)
        eventName = m_scheduler->eventName(currentevent);
    // The counter wraps like a 32-bit register: a start number near the top of the range
    // must not overflow.
    const auto number = static_cast<int32_t>(static_cast<uint32_t>(config.namingnumber) +
                                             static_cast<uint32_t>(config.nextnumber));
    const QString name = makeautoname(config.namingexpression, eventName, number,
                                      datetime::toQDateTime(m_clock.now()), QLocale(),
                                      config.splitontrack ? &m_track : nullptr);
    if (config.namingexpression.contains(QLatin1String("NUM")))
        ++config.nextnumber;
    return name;
}

void TRecorder::showWriterError(const QString& message) {
    m_view.messageBox(QStringLiteral("Error: ") + message + QStringLiteral("\n") +
                          QStringLiteral("Please check the Output folder and Codec settings"),
                      QStringLiteral("Can not create audio file."), MessageIcon::Error,
                      MessageButtons::Ok);
}

int32_t TRecorder::startrecord() {
    // A second start while the save dialog or the overwrite question is open is refused:
    // there must never be two writers.
    if (m_inStartrecord)
        return 1;
    m_inStartrecord = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m_inStartrecord};

    filestarted = true;
    totalbytes = 0;
    m_fileFrames = 0;
    m_sizeTextBytes = -1;
    if (!QFileInfo(config.archive).isDir())
        config.archive = config.path;
    QString folder = config.archive;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');

    // Only an edited settings file can hold an unknown codec; say so before asking for a
    // name or using up a counter value.
    if (!codecRow(config.codec)) {
        try {
            createWriter(config.codec, QString(), PCM);
        } catch (const std::exception& e) {
            showWriterError(QString::fromUtf8(e.what()));
        }
        writing = false;
        return 1;
    }
    const QString ext = codecExtension(config.codec);
    const bool splitting = config.splitteron || m_partContinuation;
    bool askedUser = false;

    if (eventactive && !globalname.isEmpty()) {
        outputfile = folder + globalname + QLatin1Char('.') + ext;
    } else if (config.autoname || eventactive || config.vox) {
        outputfile = folder + getautoname() + QLatin1Char('.') + ext;
    } else if (!(splitting && partnumber != 0)) {
        askedUser = true;
        for (;;) {
            outputfile = m_view.askSaveFileName(codecFilter(config.codec), ext, config.archive);
            // The question must be about the file the writer will really write.
            if (!outputfile.isEmpty())
                outputfile = codecOutputName(config.codec, outputfile);
            if (outputfile.isEmpty() || !QFileInfo::exists(outputfile))
                break;
            if (m_view.messageBox(QStringLiteral("This file already exists. Overwrite?"),
                                  AppCaption, MessageIcon::Error,
                                  MessageButtons::YesNo) == MessageResult::Yes)
                break;
        }
        globalname = outputfile.isEmpty() ? QString() : QFileInfo(outputfile).fileName();
    }
    // Only a name picked in the save dialog in this very call counts as the user's choice; a
    // later part without a name of its own (its event gone, say) still holds the previous
    // part's path here, which must never be emptied again.
    bool chosenByUser = askedUser && !outputfile.isEmpty();
    if (splitting && partnumber > 0 && !globalname.isEmpty()) {
        outputfile = folder + stripext(globalname) + QStringLiteral("_part") +
                     QString::number(partnumber) + QLatin1Char('.') + ext;
        chosenByUser = false;
    }

    if (outputfile.isEmpty())
        return 1;
    outputfile = codecOutputName(config.codec, outputfile);
    // Only a name the user picked in the save dialog (and agreed to overwrite) may replace
    // a file; a name made here - a template, an event's name, a part number - repeats from
    // one run or one day to the next and must not destroy an earlier recording. Any other
    // name is taken by creating the file, so that another recorder starting at the same
    // moment takes the next one.
    bool reserved = false;
    const QFileInfo wanted(outputfile);
    if (!chosenByUser || (!wanted.exists() && !wanted.isSymLink()))
        outputfile = reserveFileName(outputfile, &reserved);
    closefile = false;
    filestart = m_clock.now();
    m_view.setFileLabel(QStringLiteral("File:  ") + QFileInfo(outputfile).fileName(), outputfile);

    // Never two writers: a writer still open here is finished first.
    rec.reset();
    try {
        rec = createWriter(config.codec, outputfile, PCM);
        if (m_journal)
            enterInJournal(*rec);
        writing = true;
        return 0;
    } catch (const std::exception& e) {
        // Not a byte of audio went into the file: nothing to leave behind.
        if (reserved)
            QFile::remove(outputfile);
        ++writeFailures;
        showWriterError(QString::fromUtf8(e.what()));
        writing = false;
        return 1;
    }
}

void TRecorder::enterInJournal(TAudioWriter& writer) {
    // The entry lives exactly as long as the file is unfinished: the writer calls its
    // handler after finishing the file in its destructor, and the handler, holding the
    // entry, goes with the writer even if an earlier handler throws.
    std::shared_ptr<JournalEntry> entry = m_journal->opened(writer.outputName(), config.codec);
    if (!entry)
        return;
    writer.onFinished = [entry, earlier = std::move(writer.onFinished)](TAudioWriter& sender,
                                                                        QString filename) mutable {
        if (earlier)
            earlier(sender, std::move(filename));
        entry.reset();
    };
}

void TRecorder::StartClick() {
    if (m_inStartrecord)
        return;
    // A Start while the last Stop still waits for its audio ends that recording first.
    if (m_stopAtMs > 0 && !m_partContinuation)
        fullstop();
    if (!QFileInfo(config.archive).isDir()) {
        m_view.messageBox(QStringLiteral("The output folder for audio files does not exist.\n"
                                         "Please open Settings->General and change the Audio "
                                         "Output Folder."),
                          AppCaption, MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    if (!m_source || !m_source->IsActive() || !m_source->started) {
        QString text = QStringLiteral("Current audio endpoint is not available.\n"
                                      "Please open the system's sound settings and check "
                                      "the output device (Speakers).");
        // Nothing to check in the settings while the server is away: say so.
        if (m_source && m_source->waitingForServer())
            text += QStringLiteral("\nThe sound server stopped.");
        m_view.messageBox(text, AppCaption, MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    m_view.setButtonEnabled(RecorderButton::Pause, true);
    workmode = 1;
    m_view.setLevelSlider(config.mixervolume);
    m_view.setButtonEnabled(RecorderButton::PlayButton, false);
    paused = false;
    if (config.vox) {
        ShowStatus(2);
        voxarmed = true;
        filestarted = false;
        m_view.setButtonEnabled(RecorderButton::Start, false);
        m_view.setButtonEnabled(RecorderButton::Stop, true);
        return;
    }
    if (startrecord() == 0) {
        m_view.setButtonEnabled(RecorderButton::FolderButton, false);
        ShowStatus(1);
        m_view.setButtonEnabled(RecorderButton::Start, false);
        m_view.setButtonEnabled(RecorderButton::Stop, true);
        if (config.pauserecord && !config.autoname)
            pauseClick();
    }
}

void TRecorder::StopClick() {
    paused = false;
    if (workmode == 1) {
        if (config.scheduler && eventactive) {
            if (m_scheduler)
                m_scheduler->cancelEvent(currentevent);
            eventactive = false;
        }
        globalname.clear();
        voxarmed = false;
        // The next Start begins a new recording, with part 0, even if it comes before the
        // next block.
        partnumber = 0;
        // What was played up to now is still on its way from the sound server. Where the
        // capture dates its audio, the file takes it and ends at this moment; otherwise the
        // data handler closes the file after writing the next block.
        if (drainAtStop && writing && rec && m_source && m_source->blockEndMs() > 0)
            m_stopAtMs = monotonicMs();
        else
            closefile = true;
    } else {
        workmode = 1;
        m_view.setLevelSlider(config.mixervolume);
        m_view.setPositionSlider(0);
        m_view.setTimeText(QStringLiteral("00:00:00"));
        m_playback.stop(playstream);
        m_playback.freeStream(playstream);
        playstream = 0;
        m_view.resetSpectrum();
        ShowStatus(0);
        m_view.setButtonEnabled(RecorderButton::Stop, false);
    }
    m_view.setButtonEnabled(RecorderButton::Pause, false);
    m_view.setButtonEnabled(RecorderButton::PlayButton, true);
    m_view.setButtonEnabled(RecorderButton::Start, true);
}

void TRecorder::pauseClick() {
    const TDateTime now = m_clock.now();
    if (!paused) {
        statusbeforepause = internalstatus;
        ShowStatus(3);
        pausestart = now;
        if (workmode == 2)
            m_playback.pause(playstream);
    } else {
        ShowStatus(statusbeforepause);
        // Paused time counts neither toward the time limit nor toward the display.
        filestart = filestart + (now - pausestart);
        if (workmode == 2)
            m_playback.play(playstream, false);
    }
    paused = !paused;
}

void TRecorder::fullstop() {
    const QString file = outputfile;
    const QString problem = stopFile();
    if (!problem.isEmpty()) {
        ++closeFailures;
        showCloseFailure(file, problem);
    }
}

QString TRecorder::keptOrRemoved() const {
    return m_fileRemoved
               ? QStringLiteral("No audio could be written to it, so the file was removed.")
               : QStringLiteral("What was recorded up to this point is kept in the file.");
}

QString TRecorder::closeForExit() {
    const QString file = outputfile;
    // Nothing starts again once the program ends: not the VOX, not a part.
    voxarmed = false;
    const QString problem = stopFile();
    if (problem.isEmpty())
        return problem;
    ++closeFailures;
    QString text = QStringLiteral("Could not finish the audio file %1: %2").arg(file, problem);
    if (m_fileRemoved)
        text += QLatin1Char(' ') + keptOrRemoved();
    return text;
}

void TRecorder::showCloseFailure(const QString& file, const QString& problem) {
    m_view.messageBox(QStringLiteral("Could not finish the audio file %1:\n%2\n%3")
                          .arg(file, problem, keptOrRemoved()),
                      QStringLiteral("Can not write audio file."), MessageIcon::Error,
                      MessageButtons::Ok);
}

QString TRecorder::stopFile() {
    if (voxarmed) {
        filestarted = false;
        ShowStatus(2);
    } else {
        ShowStatus(0);
        m_view.setButtonEnabled(RecorderButton::Start, true);
        m_view.setButtonEnabled(RecorderButton::Stop, false);
        m_view.setTimeText(QStringLiteral("00:00:00"));
    }
    closefile = false;
    m_stopAtMs = 0;
    writing = false;
    QString problem;
    bool closed = rec != nullptr;
    m_fileRemoved = false;
    if (rec) {
        // Clear the member first so that nothing can write to a writer that is going away.
        std::unique_ptr<TAudioWriter> closing = std::move(rec);
        problem = closing->close();
        const bool failed = !problem.isEmpty() || std::exchange(m_writeFailing, false);
        m_fileRemoved = failed && !closing->holdsAudio();
        closing.reset();
        // A file that failed before a single byte of audio reached it is no recording.
        if (m_fileRemoved) {
            QFile::remove(outputfile);
            closed = false;
        }
    }
    if (config.vox && voxarmed && config.voxautodelete && config.voxdeleteit &&
        QFileInfo::exists(outputfile)) {
        QFile::remove(outputfile);
        if (config.namingexpression.contains(QLatin1String("NUM")))
            --config.nextnumber;
    }
    if (closed && trackFileClosed && QFileInfo::exists(outputfile)) {
        const QString finished = trackFileClosed(
            {outputfile, m_track, m_fileFromTrackStart, m_fileToTrackEnd, m_fileFrames});
        if (!finished.isEmpty() && finished != outputfile) {
            outputfile = finished;
            m_view.setFileLabel(QStringLiteral("File:  ") + QFileInfo(outputfile).fileName(),
                                outputfile);
        }
    }
    // The file after a track change begins with the new track; any other begins within one.
    // A change still pending when a file ends is the track the next file starts within.
    if (m_fileToTrackEnd || m_trackCutAtMs > 0)
        m_track = m_nextTrack;
    m_trackCutAtMs = 0;
    m_fileFromTrackStart = m_fileToTrackEnd;
    m_fileToTrackEnd = false;
    m_view.setButtonEnabled(RecorderButton::FolderButton, true);
    if (!m_fileRemoved)
        lastfile = outputfile;
    config.voxdeleteit = false;
    m_view.refreshBrowser();
    return problem;
}

void TRecorder::event(TWASAPISource* /*Sender*/, const void* data, int32_t dsize) {
    // The capture thread's termination report can arrive while a message box opened by
    // the block in hand runs its nested loop; finish that block first.
    if (dsize < 0 && m_handlerDepth > 0) {
        m_captureEndedPending = true;
        return;
    }
    ++m_handlerDepth;
    struct Depth {
        int& depth;
        ~Depth() { --depth; }
    } depth{m_handlerDepth};
    handleBlock(data, dsize);
    while (m_captureEndedPending && m_handlerDepth == 1) {
        m_captureEndedPending = false;
        handleBlock(nullptr, -1);
    }
}

void TRecorder::measurePeaks() {
    const int16_t* samples = rawbuffer.get();
    int left = 0;
    int right = 0;
    if (PCM.nChannels == 2) {
        const uint32_t frames = bsize / 4;
        for (uint32_t i = 0; i < frames; ++i) {
            left = std::max(left, std::abs(static_cast<int>(samples[2 * i])));
            right = std::max(right, std::abs(static_cast<int>(samples[2 * i + 1])));
        }
        maxl = peakOf(left);
        maxr = peakOf(right);
    } else {
        const uint32_t count = bsize / 2;
        for (uint32_t i = 0; i < count; ++i)
            left = std::max(left, std::abs(static_cast<int>(samples[i])));
        maxl = peakOf(left);
        maxr = maxl;
    }
}

void TRecorder::runVox() {
    const int level = std::max(maxl, maxr);
    const TDateTime now = m_clock.now();
    if (level >= config.trashold) {
        writing = true;
        if (!filestarted) {
            startrecord();
            config.voxautodeletestart = m_clock.now();
        }
        voxcounter = false;
        // Without an open writer nothing is being recorded: say "Listen...", not
        // "Recording". The next sound after a silence stop tries to open a file again.
        ShowStatus(rec ? 1 : 2);
    } else if (!voxcounter) {
        voxtime = now;
        voxcounter = true;
    } else {
        voxdif = datetime::millisecondsBetween(voxtime, now);
        if (static_cast<double>(voxdif) / 1000.0 >= static_cast<double>(config.silence)) {
            voxcounter = false;
            if (writing) {
                if (config.voxautodelete) {
                    const int64_t d = datetime::secondsBetween(config.voxautodeletestart, now) -
                                      static_cast<int64_t>(std::nearbyint(config.silence));
                    if (d < config.voxautodeletetime)
                        config.voxdeleteit = true;
                }
                closefile = true;
                ShowStatus(2);
            }
        }
    }
}

void TRecorder::updateSizeText() {
    // The text is only rebuilt when the size changed: it is the one allocation per block.
    if (totalbytes == m_sizeTextBytes)
        return;
    m_sizeTextBytes = totalbytes;
    recsize = sizeText(totalbytes, m_decimalPoint);
}

void TRecorder::writeFailed(const QString& reason) {
    const QString file = outputfile;
    const bool vox = voxarmed;
    ++writeFailures;
    m_writeFailing = true;
    // The message below speaks for the file; a failure to finish it adds nothing.
    stopFile();
    if (!vox) {
        // Back to Ready, as after Stop.
        paused = false;
        partnumber = 0;
        m_view.setButtonEnabled(RecorderButton::Pause, false);
        m_view.setButtonEnabled(RecorderButton::PlayButton, true);
    } else if (m_fileRemoved) {
        // Not even the start of the sound fitted (a full disk): the next file is tried after
        // the silence, as after a file that could not be created, not at every block.
        writing = true;
        filestarted = true;
    }
    m_view.messageBox(QStringLiteral("Could not write to the audio file %1:\n%2\n"
                                     "The recording was stopped; %3")
                          .arg(file, reason,
                               m_fileRemoved ? QStringLiteral("no audio could be written to it, "
                                                              "so the file was removed.")
                                             : QStringLiteral("what was recorded up to this "
                                                              "point is kept in the file.")),
                      QStringLiteral("Can not write audio file."), MessageIcon::Error,
                      MessageButtons::Ok);
}

void TRecorder::writeBlock() {
    int32_t n = 0;
    try {
        n = rec->write(rawbuffer.get(), bsize);
    } catch (const std::exception& e) {
        writeFailed(QString::fromUtf8(e.what()));
        return;
    }
    if (n < 0) {
        writeFailed(QStringLiteral("The encoder reported an error."));
        return;
    }
    totalbytes += n;
    m_fileFrames += bsize / std::max<uint32_t>(PCM.nBlockAlign, 1);
    updateSizeText();
}

uint32_t TRecorder::roomLeft() const {
    const uint64_t used = static_cast<uint64_t>(totalbytes) + rec->pendingBytes();
    const uint64_t room = rec->maxDataBytes() > used ? rec->maxDataBytes() - used : 0;
    const uint32_t align = std::max<uint32_t>(PCM.nBlockAlign, 1);
    const auto fits = static_cast<uint32_t>(std::min<uint64_t>(room, bsize));
    return fits - fits % align;
}

void TRecorder::continueInNewPart() {
    ++partnumber;
    m_partContinuation = true;
    const bool vox = voxarmed;
    const bool stopPending = closefile;
    fullstop();
    if (vox) {
        // The sound goes on: open the next part at once instead of waiting for the next
        // loud block.
        writing = true;
        startrecord();
        ShowStatus(rec ? 1 : 2);
    } else {
        StartClick();
    }
    m_partContinuation = false;
    // A Stop given before this block still closes the new part at its end.
    closefile = closefile || stopPending;
}

void TRecorder::trackChanged(const TrackInfo& track, double cutAtMs) {
    if (writing && rec) {
        // A change before the last one took effect replaces it: the track in between
        // was never heard.
        m_nextTrack = track;
        m_trackCutAtMs = std::max(cutAtMs, 1.0);
        return;
    }
    m_track = track;
    m_trackCutAtMs = 0;
}

void TRecorder::updateTrack(const TrackInfo& track) {
    if (m_trackCutAtMs > 0) {
        if (!m_nextTrack.isOtherTrack(track))
            m_nextTrack = track;
    } else if (!m_track.isOtherTrack(track)) {
        m_track = track;
    }
}

void TRecorder::moveTrackCut(const TrackInfo& track, double cutAtMs) {
    if (m_trackCutAtMs > 0 && !m_nextTrack.isOtherTrack(track))
        m_trackCutAtMs = std::max(m_trackCutAtMs, cutAtMs);
}

void TRecorder::cutAtTrackChange(double endMs) {
    const uint32_t align = std::max<uint32_t>(PCM.nBlockAlign, 1);
    uint32_t head = 0;
    if (endMs > 0) {
        const auto tail =
            static_cast<uint64_t>((endMs - m_trackCutAtMs) * PCM.nSamplesPerSec / 1000.0) * align;
        head = bsize - static_cast<uint32_t>(std::min<uint64_t>(tail, bsize));
    }
    m_trackCutAtMs = 0;
    m_trackCutHeldUntilMs = 0;
    const uint32_t whole = bsize;
    if (head > 0) {
        bsize = head;
        writeBlock();
        if (!writing || !rec)
            return;
    }
    // The rest of the block is the new track's: it opens the next file.
    bsize = whole - head;
    if (head > 0)
        std::memmove(rawbuffer.get(), rawbuffer.get() + head / 2, bsize);
    m_fileToTrackEnd = true;
    continueInNewPart();
}

void TRecorder::handleBlock(const void* data, int32_t dsize) {
    if (m_deviceNotice && m_clock.now() >= m_deviceNoticeUntil)
        ShowStatus(internalstatus);
    if (dsize < 0) {
        fullstop();
        data = nullptr;
        dsize = 0;
    }
    auto size = static_cast<uint32_t>(dsize);
    if (size > m_rawCapacity) {
        // Captured blocks are a few kilobytes; a larger one is kept whole rather than cut.
        m_rawCapacity = size;
        rawbuffer.reset(new int16_t[(size + 1) / 2]);
    }
    if (size > 0)
        std::memcpy(rawbuffer.get(), data, size);
    bsize = size;
    measurePeaks();

    if (m_scheduler)
        m_scheduler->check();

    if (m_stopAtMs > 0) {
        // A Stop waits for the block that reaches its moment and cuts it there; a capture
        // whose audio stopped being dated, or that lags more than any server, ends it now.
        const double end = m_source ? m_source->blockEndMs() : 0;
        if (end <= 0 || end >= m_stopAtMs || monotonicMs() - m_stopAtMs > MaxStopDrainMs) {
            if (end > m_stopAtMs) {
                const uint64_t over =
                    static_cast<uint64_t>((end - m_stopAtMs) * PCM.nSamplesPerSec / 1000.0) *
                    PCM.nBlockAlign;
                bsize -= static_cast<uint32_t>(std::min<uint64_t>(over, bsize));
            }
            m_stopAtMs = 0;
            closefile = true;
        }
    }

    if (!paused && m_trackCutAtMs > 0 && writing && rec && !closefile && m_stopAtMs == 0) {
        const double end = m_source ? m_source->blockEndMs() : 0;
        if ((end <= 0 || end >= m_trackCutAtMs) && monotonicMs() >= m_trackCutHeldUntilMs)
            cutAtTrackChange(end);
    }

    if (!paused) {
        if (config.vox && voxarmed)
            runVox();
        if (workmode == 1) {
            if (config.splitteron && writing) {
                // With a Stop pending the file closes at the end of this block; a split
                // now would open a part that lost the Stop, under a name already used.
                if (!closefile && m_stopAtMs == 0 &&
                    datetime::secondsBetween(filestart, m_clock.now()) > config.timelimit) {
                    ++partnumber;
                    fullstop();
                    StartClick();
                }
            } else if (!writing) {
                partnumber = 0;
            }
        }
        // A WAV file cannot describe more than 4 GiB: continue in a new part before it
        // would pass that size. With a Stop pending this block is the file's last: no new
        // part is opened for it, and it is cut to what the file can still hold.
        if (writing && rec && rec->maxDataBytes() > 0 &&
            static_cast<uint64_t>(totalbytes) + rec->pendingBytes() + bsize > rec->maxDataBytes()) {
            if (closefile || m_stopAtMs > 0) {
                bsize = roomLeft();
                m_stopAtMs = 0;
                closefile = true;
            } else {
                continueInNewPart();
            }
        }
        if (writing && rec && bsize > 0)
            writeBlock();
    }
    if (closefile)
        fullstop();
}

QString TRecorder::sizeText(int64_t totalbytes, QChar decimalPoint) {
    if (totalbytes <= 1048576)
        return QStringLiteral("File Size: ") + QString::number(totalbytes / 1024) +
               QStringLiteral(" Kb");
    // Three significant digits: fixed while the integer part has at most three digits,
    // scientific with a three-digit exponent above that.
    const double mb = static_cast<double>(totalbytes) / 1048576.0;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.2e", mb);
    const char digits[3] = {buf[0], buf[2], buf[3]};
    const int exponent = std::atoi(buf + 5);
    QString number;
    if (exponent < 3) {
        number = QString::fromLatin1(digits, exponent + 1);
        QString fraction = QString::fromLatin1(digits + exponent + 1, 2 - exponent);
        while (fraction.endsWith(QLatin1Char('0')))
            fraction.chop(1);
        if (!fraction.isEmpty())
            number += decimalPoint + fraction;
    } else {
        number = QLatin1Char(digits[0]);
        QString fraction = QString::fromLatin1(digits + 1, 2);
        while (fraction.endsWith(QLatin1Char('0')))
            fraction.chop(1);
        if (!fraction.isEmpty())
            number += decimalPoint + fraction;
        number +=
            QStringLiteral("E+") + QStringLiteral("%1").arg(exponent, 3, 10, QLatin1Char('0'));
    }
    return QStringLiteral("File Size: ") + number + QStringLiteral(" Mb");
}
