// Lists a folder of generated recordings (MP3, Ogg Vorbis, WAV and FLAC in turn, each with
// title, artist, album, track, year, genre, comment and copyright) in the recordings browser
// and, in the same run and in alternating order, with a plain loop that opens each file with
// TagLib's FileRef (default read style) and reads the same fields, the playing time and the
// file's size and last-write time. Prints each round, the medians, the ratio browser / plain
// (goal: 1.3 or less) and the longest gap between the ticks of a 1 ms timer on the window
// thread while the browser lists (goal: no stall over 100 ms). It reports only.
//
// The recordings are generated once into $TMPDIR/orvanta-browser-bench/<count> and kept for
// later runs; a folder that is missing or incomplete is made again. The page cache cannot be
// dropped, so one plain pass warms it before the rounds.
//
// Build with -DORVANTA_BUILD_BENCH=ON (Release, tests off), target browser_bench; run as
//   browser_bench [--files N] [--rounds R] [--show]

#include "browser/tagbinding.h"
#include "browser/ui/playlist.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSaveFile>
#include <QTimer>

#include <lame/lame.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef ORVANTA_TAGVESSEL_PATH
#error "ORVANTA_TAGVESSEL_PATH must name the built libtagvessel.so"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::array<const char*, 4> Extensions = {"mp3", "ogg", "wav", "flac"};
constexpr int SampleRate = 44100;
// A quarter of a second keeps 10,000 files under 200 MB while each is a complete stream.
constexpr int TemplateFrames = SampleRate / 4;

double msSince(Clock::time_point start, Clock::time_point end = Clock::now()) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string loadAverages() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return in ? one + " " + five + " " + fifteen : std::string("unknown");
}

// ---- The generated tags -------------------------------------------------------------------

std::string fileName(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "rec-%05d.%s", index, Extensions[index % 4]);
    return name;
}

/// The index encoded in a generated name, or -1.
int indexOf(const std::string& name) {
    int index = -1;
    char extension[8] = {};
    if (std::sscanf(name.c_str(), "rec-%d.%7s", &index, extension) != 2)
        return -1;
    return index;
}

// Non-ASCII names, so that the text conversions on both sides do real work.
constexpr std::array<const char*, 5> Artists = {"Ana Müller", "Søren Ødegård", "Chloé Lefèvre",
                                                "Jan Novák", "Mary Smith"};
constexpr std::array<const char*, 4> Genres = {"Speech", "Jazz", "Classical", "Podcast"};

std::string titleOf(int index) {
    return "Take " + std::to_string(index) + " – morning session";
}
std::string artistOf(int index) {
    return Artists[static_cast<size_t>(index) % Artists.size()];
}
std::string copyrightOf(int index) {
    return "© " + std::to_string(2000 + index % 25) + " " + artistOf(index);
}

TagLib::String utf8(const std::string& text) {
    return TagLib::String(text, TagLib::String::UTF8);
}

TagLib::PropertyMap tagOf(int index) {
    TagLib::PropertyMap map;
    map["TITLE"] = utf8(titleOf(index));
    map["ARTIST"] = utf8(artistOf(index));
    map["ALBUM"] = utf8("Field recordings " + std::to_string(index / 100));
    map["TRACKNUMBER"] = utf8(std::to_string(index % 99 + 1));
    map["DATE"] = utf8(std::to_string(1990 + index % 35));
    map["GENRE"] = utf8(Genres[static_cast<size_t>(index) % Genres.size()]);
    map["COMMENT"] = utf8("Generated recording number " + std::to_string(index));
    map["COPYRIGHT"] = utf8(copyrightOf(index));
    return map;
}

// ---- Templates: one short, valid file per format ------------------------------------------

std::vector<int16_t> templateSignal() {
    std::vector<int16_t> pcm(static_cast<size_t>(TemplateFrames) * 2);
    const double pi = 3.14159265358979323846;
    for (int i = 0; i < TemplateFrames; ++i) {
        const double t = static_cast<double>(i) / SampleRate;
        pcm[static_cast<size_t>(i) * 2] = static_cast<int16_t>(8000 * std::sin(2 * pi * 440 * t));
        pcm[static_cast<size_t>(i) * 2 + 1] =
            static_cast<int16_t>(8000 * std::sin(2 * pi * 660 * t));
    }
    return pcm;
}

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

bool writeWithSndfile(const std::string& path, int format, const std::vector<int16_t>& pcm) {
    SF_INFO info{};
    info.samplerate = SampleRate;
    info.channels = 2;
    info.format = format;
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) {
        std::fprintf(stderr, "browser_bench: cannot write %s: %s\n", path.c_str(),
                     sf_strerror(nullptr));
        return false;
    }
    const sf_count_t frames = static_cast<sf_count_t>(pcm.size() / 2);
    if (sf_writef_short(file.get(), pcm.data(), frames) != frames) {
        std::fprintf(stderr, "browser_bench: cannot write %s: %s\n", path.c_str(),
                     sf_strerror(file.get()));
        return false;
    }
    // Closing writes the encoders' last pages and blocks, so its result counts too.
    if (sf_close(file.release()) != 0) {
        std::fprintf(stderr, "browser_bench: cannot finish %s\n", path.c_str());
        return false;
    }
    return true;
}

struct LameCloser {
    void operator()(lame_t lame) const { lame_close(lame); }
};

bool writeMp3(const std::string& path, const std::vector<int16_t>& pcm) {
    std::unique_ptr<lame_global_flags, LameCloser> lame(lame_init());
    if (!lame) {
        std::fprintf(stderr, "browser_bench: cannot start the MP3 encoder\n");
        return false;
    }
    lame_set_in_samplerate(lame.get(), SampleRate);
    lame_set_num_channels(lame.get(), 2);
    lame_set_brate(lame.get(), 128);
    // Without the Xing frame the encoder's output is final as it comes out.
    lame_set_bWriteVbrTag(lame.get(), 0);
    if (lame_init_params(lame.get()) < 0) {
        std::fprintf(stderr, "browser_bench: the MP3 encoder refused its settings\n");
        return false;
    }
    const int frames = static_cast<int>(pcm.size() / 2);
    std::vector<unsigned char> out(static_cast<size_t>(frames) * 5 / 4 + 7200 + 7200);
    const int encoded =
        lame_encode_buffer_interleaved(lame.get(), const_cast<short*>(pcm.data()), frames,
                                       out.data(), static_cast<int>(out.size()));
    if (encoded < 0) {
        std::fprintf(stderr, "browser_bench: the MP3 encoder failed (%d)\n", encoded);
        return false;
    }
    const int flushed =
        lame_encode_flush(lame.get(), out.data() + encoded, static_cast<int>(out.size()) - encoded);
    if (flushed < 0) {
        std::fprintf(stderr, "browser_bench: the MP3 encoder failed (%d)\n", flushed);
        return false;
    }
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.data()), encoded + flushed);
    file.close();
    if (!file) {
        std::fprintf(stderr, "browser_bench: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

bool writeTemplates(const std::string& folder) {
    const std::vector<int16_t> pcm = templateSignal();
    return writeMp3(folder + "/template.mp3", pcm) &&
           writeWithSndfile(folder + "/template.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, pcm) &&
           writeWithSndfile(folder + "/template.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, pcm) &&
           writeWithSndfile(folder + "/template.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, pcm);
}

// ---- The generated folder -----------------------------------------------------------------

/// The names a listing takes: plain, not hidden files with a recording extension and a size
/// above 0, sorted by name.
std::vector<std::string> recordingNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.' || !entry.is_regular_file(error))
            continue;
        std::string extension = entry.path().extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (std::find_if(Extensions.begin(), Extensions.end(), [&](const char* known) {
                return extension == std::string(".") + known;
            }) == Extensions.end())
            continue;
        if (entry.file_size(error) > 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

const char* const MarkerName = ".complete";

bool folderComplete(const QString& folder, int count) {
    QFile marker(folder + QLatin1Char('/') + QLatin1String(MarkerName));
    if (!marker.open(QIODevice::ReadOnly) || marker.readAll().trimmed().toInt() != count)
        return false;
    return recordingNames(folder.toStdString()).size() == static_cast<size_t>(count);
}

bool tagCopy(const std::string& path, int index) {
    TagLib::FileRef ref(path.c_str());
    if (ref.isNull()) {
        std::fprintf(stderr, "browser_bench: TagLib cannot open %s\n", path.c_str());
        return false;
    }
    ref.file()->setProperties(tagOf(index));
    if (!ref.save()) {
        std::fprintf(stderr, "browser_bench: TagLib cannot save the tag of %s\n", path.c_str());
        return false;
    }
    return true;
}

/// Makes the folder in a sibling first and renames it into place when every file is there,
/// so that an interrupted run leaves nothing that looks complete.
bool generate(const QString& folder, int count) {
    const QString partial = folder + QStringLiteral(".partial");
    QDir(partial).removeRecursively();
    QDir(folder).removeRecursively();
    if (!QDir().mkpath(partial)) {
        std::fprintf(stderr, "browser_bench: cannot create %s\n", qPrintable(partial));
        return false;
    }
    const std::string target = partial.toStdString();
    const std::string templates = target + "/.templates";
    fs::create_directories(templates);
    if (!writeTemplates(templates))
        return false;
    for (int i = 0; i < count; ++i) {
        const std::string path = target + "/" + fileName(i);
        std::error_code error;
        fs::copy_file(templates + "/template." + Extensions[static_cast<size_t>(i) % 4], path,
                      fs::copy_options::overwrite_existing, error);
        if (error) {
            std::fprintf(stderr, "browser_bench: cannot copy to %s: %s\n", path.c_str(),
                         error.message().c_str());
            return false;
        }
        if (!tagCopy(path, i))
            return false;
    }
    fs::remove_all(templates);
    QSaveFile marker(partial + QLatin1Char('/') + QLatin1String(MarkerName));
    if (!marker.open(QIODevice::WriteOnly) || marker.write(QByteArray::number(count)) < 0 ||
        !marker.commit()) {
        std::fprintf(stderr, "browser_bench: cannot write the marker in %s\n", qPrintable(partial));
        return false;
    }
    if (!QDir().rename(partial, folder)) {
        std::fprintf(stderr, "browser_bench: cannot rename %s to %s\n", qPrintable(partial),
                     qPrintable(folder));
        return false;
    }
    return true;
}

// ---- The plain TagLib loop ----------------------------------------------------------------

struct PlainRow {
    std::string name;
    TagLib::String title, artist, album, genre, comment, copyright;
    unsigned track = 0;
    unsigned year = 0;
    int length = 0;
    off_t size = 0;
    timespec modified{};
};

struct PlainResult {
    double ms = 0;
    std::vector<PlainRow> rows;
    int failed = 0;
};

PlainResult plainLoop(const std::string& folder) {
    PlainResult result;
    const auto start = Clock::now();
    const std::vector<std::string> names = recordingNames(folder);
    result.rows.reserve(names.size());
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            ++result.failed;
            continue;
        }
        TagLib::FileRef ref(path.c_str());
        if (ref.isNull()) {
            ++result.failed;
            continue;
        }
        PlainRow row;
        row.name = name;
        row.size = info.st_size;
        row.modified = info.st_mtim;
        if (const TagLib::Tag* tag = ref.tag()) {
            row.title = tag->title();
            row.artist = tag->artist();
            row.album = tag->album();
            row.genre = tag->genre();
            row.comment = tag->comment();
            row.track = tag->track();
            row.year = tag->year();
        }
        row.copyright = ref.file()->properties()["COPYRIGHT"].toString();
        if (const TagLib::AudioProperties* properties = ref.audioProperties())
            row.length = properties->lengthInSeconds();
        result.rows.push_back(std::move(row));
    }
    result.ms = msSince(start);
    return result;
}

/// How many rows do not carry the tag their file was given.
int plainMismatches(const PlainResult& result) {
    int wrong = 0;
    for (const PlainRow& row : result.rows) {
        const int index = indexOf(row.name);
        if (index < 0 || row.title.to8Bit(true) != titleOf(index) ||
            row.artist.to8Bit(true) != artistOf(index) ||
            row.copyright.to8Bit(true) != copyrightOf(index) ||
            row.year != static_cast<unsigned>(1990 + index % 35) ||
            row.track != static_cast<unsigned>(index % 99 + 1))
            ++wrong;
    }
    return wrong;
}

// ---- The browser --------------------------------------------------------------------------

class BenchHost final : public BrowserHost {
public:
    void playfile(const QString&) override {}
    void StopClick() override {}
    bool playButtonEnabled() const override { return false; }
    void setLastfile(const QString&) override {}
    int workmode() const override { return 1; }
    QString activePlaybackFile() const override { return {}; }
    void stopPlayback() override {}
};

/// The largest gap between the ticks of a fast timer on the window thread.
class StallMeter {
public:
    StallMeter() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(Clock::now()); });
    }

    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }

    /// Forgets the gaps so far; `now` counts as the last tick.
    void reset(Clock::time_point now) {
        m_origin = now;
        m_last = now;
        m_longest = 0;
        m_longestAt = 0;
    }

    /// A tick, or the end of the measured span.
    void tick(Clock::time_point now) {
        const double gap = msSince(m_last, now);
        if (gap > m_longest) {
            m_longest = gap;
            m_longestAt = msSince(m_origin, m_last);
        }
        m_last = now;
    }

    double longest() const { return m_longest; }
    /// When the longest gap began, from reset().
    double longestAt() const { return m_longestAt; }

private:
    QTimer m_timer;
    Clock::time_point m_origin{};
    Clock::time_point m_last{};
    double m_longest = 0;
    double m_longestAt = 0;
};

/// Runs the window thread's event loop for `ms` milliseconds.
void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

/// Selects `folder` in the tree, as a click does, and runs the event loop until the listing
/// it starts has finished. False when no listing started or none ended in time.
bool openFolder(Tplaylist& window, const QString& folder, int count, StallMeter* meter,
                Clock::time_point* startedAt, Clock::time_point* finishedAt) {
    QEventLoop loop;
    bool finished = false;
    const QMetaObject::Connection connection =
        QObject::connect(&window, &Tplaylist::listingFinished, &loop, [&] {
            *finishedAt = Clock::now();
            finished = true;
            loop.quit();
        });
    *startedAt = Clock::now();
    if (meter)
        meter->reset(*startedAt);
    window.selectFolder(folder);
    if (!finished && window.listing()) {
        // A generous limit, so that a listing that never ends is reported, not waited for.
        QTimer::singleShot(120000 + count * 20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QObject::disconnect(connection);
    return finished;
}

struct BrowserResult {
    double ms = 0;
    bool finished = false;
    size_t rows = 0;
    int mismatches = 0;
    double stall = 0;
    double stallAt = 0;
};

/// One measured listing of `folder`. Another folder (`away`, empty) is selected first, so
/// that every round is the same folder change in the tree.
BrowserResult browserRound(Tplaylist& window, const QString& folder, const QString& away,
                           int count) {
    BrowserResult result;
    Clock::time_point start{}, finishedAt{};
    if (!openFolder(window, away, 0, nullptr, &start, &finishedAt)) {
        std::fprintf(stderr, "browser_bench: the browser did not list %s\n", qPrintable(away));
        return result;
    }
    StallMeter meter;
    // Let the timer settle into its rhythm before the measured span begins.
    meter.start();
    spin(20);
    result.finished = openFolder(window, folder, count, &meter, &start, &finishedAt);
    meter.stop();
    if (!result.finished)
        return result;
    meter.tick(finishedAt);
    result.ms = msSince(start, finishedAt);
    result.stall = meter.longest();
    result.stallAt = meter.longestAt();

    const std::vector<TMCRS>& rows = window.rows();
    result.rows = rows.size();
    for (const TMCRS& row : rows) {
        const int index = indexOf(row.audiofile.toStdString());
        if (index < 0 || row.title.toStdString() != titleOf(index) ||
            row.artist.toStdString() != artistOf(index))
            ++result.mismatches;
    }
    return result;
}

// ---- Options ------------------------------------------------------------------------------

struct Options {
    int files = 10000;
    int rounds = 3;
    bool show = false;
};

void usage(FILE* out) {
    std::fprintf(out, "usage: browser_bench [--files N] [--rounds R] [--show]\n"
                      "  --files N   recordings in the folder (default 10000)\n"
                      "  --rounds R  plain/browser rounds (default 3)\n"
                      "  --show      show the browser window while it lists\n");
}

std::optional<int> positiveNumber(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 1000000)
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--show") {
            options.show = true;
        } else if ((arg == "--files" || arg == "--rounds") && i + 1 < argc) {
            const std::optional<int> value = positiveNumber(argv[++i]);
            if (!value) {
                std::fprintf(stderr, "browser_bench: %s wants a whole number from 1, not \"%s\"\n",
                             arg.c_str(), argv[i]);
                return std::nullopt;
            }
            (arg == "--files" ? options.files : options.rounds) = *value;
        } else {
            std::fprintf(stderr, "browser_bench: unknown or incomplete option \"%s\"\n",
                         arg.c_str());
            return std::nullopt;
        }
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const std::optional<Options> parsed = parseOptions(argc, argv);
    if (!parsed) {
        usage(stderr);
        return 1;
    }
    const Options options = *parsed;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::printf("browser_bench: %u cores, load averages %s at the start\n",
                std::thread::hardware_concurrency(), loadAverages().c_str());
    const QString folder = QDir::tempPath() + QStringLiteral("/orvanta-browser-bench/") +
                           QString::number(options.files);
    if (folderComplete(folder, options.files)) {
        std::printf("folder: %s (cached)\n", qPrintable(folder));
    } else {
        const auto start = Clock::now();
        if (!generate(folder, options.files))
            return 1;
        std::printf("folder: %s (generated in %.1f s)\n", qPrintable(folder),
                    msSince(start) / 1000);
    }
    std::printf("%d recordings, mp3/ogg/wav/flac in turn, %d rounds\n", options.files,
                options.rounds);
    std::fflush(stdout);
    const std::string folderPath = folder.toStdString();

    auto binding = std::make_unique<TagBinding>(QStringLiteral(ORVANTA_TAGVESSEL_PATH));
    if (!binding->loaded() || !binding->canRead()) {
        std::fprintf(stderr, "browser_bench: cannot load %s: %s\n", ORVANTA_TAGVESSEL_PATH,
                     qPrintable(binding->error()));
        return 1;
    }
    const QString away = QDir::tempPath() + QStringLiteral("/orvanta-browser-bench/empty");
    if (!QDir().mkpath(away)) {
        std::fprintf(stderr, "browser_bench: cannot create %s\n", qPrintable(away));
        return 1;
    }
    BenchHost host;
    Tplaylist window(host, std::move(binding));
    if (options.show) {
        // Showing lists the configured recordings folder; let that end before the rounds.
        window.show();
        spin(200);
        while (window.listing())
            spin(50);
    }

    const PlainResult warm = plainLoop(folderPath);
    std::printf("warm-up, plain loop: %.1f ms, %zu files read, %d failed, %d with a wrong tag\n",
                warm.ms, warm.rows.size(), warm.failed, plainMismatches(warm));
    std::fflush(stdout);

    std::vector<double> plainTimes, browserTimes;
    double longestStall = 0;
    bool complete = true;
    for (int round = 1; round <= options.rounds; ++round) {
        const PlainResult plain = plainLoop(folderPath);
        plainTimes.push_back(plain.ms);
        std::printf("round %d: plain %8.1f ms (%zu files)", round, plain.ms, plain.rows.size());
        std::fflush(stdout);

        const BrowserResult browser = browserRound(window, folder, away, options.files);
        if (!browser.finished) {
            std::printf("   browser: no listing finished\n");
            complete = false;
            break;
        }
        browserTimes.push_back(browser.ms);
        longestStall = std::max(longestStall, browser.stall);
        std::printf("   browser %8.1f ms (%zu rows%s)   ratio %.2f   longest stall %.1f ms at "
                    "%.0f ms\n",
                    browser.ms, browser.rows,
                    browser.rows == static_cast<size_t>(options.files)
                        ? (browser.mismatches ? ", some with a wrong tag" : "")
                        : ", NOT the file count",
                    browser.ms / plain.ms, browser.stall, browser.stallAt);
        if (browser.mismatches)
            std::printf("         %d rows with a wrong title or artist\n", browser.mismatches);
        std::fflush(stdout);
    }
    if (complete && !browserTimes.empty()) {
        const double plainMedian = median(plainTimes);
        const double browserMedian = median(browserTimes);
        std::printf("median: plain %.1f ms, browser %.1f ms; ratio browser/plain %.2f (goal <= "
                    "1.3)\n",
                    plainMedian, browserMedian, browserMedian / plainMedian);
        std::printf("longest event-loop stall while listing: %.1f ms (goal <= 100 ms)\n",
                    longestStall);
    }
    std::printf("load averages %s at the end\n", loadAverages().c_str());
    return complete ? 0 : 1;
}
