#include "tagworker.h"

#include "browser/tagbinding.h"
#include "common/filename.h"
#include "common/messages.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include <dirent.h>
#include <sys/stat.h>

TagWorker::TagWorker(std::unique_ptr<TagBinding> binding)
    : m_binding(std::move(binding)), m_access(std::make_unique<TagAccess>(*m_binding)) {
    m_thread = std::thread([this] { run(); });
}

TagWorker::~TagWorker() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    // Jobs never run: a waiting call() sees a broken promise instead of hanging.
    m_jobs.clear();
}

void TagWorker::post(std::function<void(const TagAccess&)> job) {
    {
        std::lock_guard lock(m_lock);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void TagWorker::run() {
    for (;;) {
        std::function<void(const TagAccess&)> job;
        {
            std::unique_lock lock(m_lock);
            m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
            if (m_stop)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(*m_access);
    }
}

bool readListedFile(const TagAccess& access, const QString& folder, const QString& name,
                    TMCRS& row) {
    const QString path = folder + QLatin1Char('/') + name;
    struct stat info;
    if (::stat(fileNameBytes(path).constData(), &info) != 0)
        return false;
    // Milliseconds, as the rest of the program keeps file times.
    const QDateTime modified = QDateTime::fromMSecsSinceEpoch(qint64(info.st_mtim.tv_sec) * 1000 +
                                                              info.st_mtim.tv_nsec / 1000000);
    const audiotag tag = access.GetTag(path);
    row.audiofile = name;
    row.title = tag.title;
    row.artist = tag.artist;
    row.duration = tag.duration;
    row.modified = datetime::fromQDateTime(modified);
    return true;
}

QStringList recordingFileNames(const QString& folder) {
    QStringList names;
    // Read by its bytes: Qt's listings leave out names that are not UTF-8.
    const QByteArray path = fileNameBytes(folder);
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        // Hidden files and folders are left out; so is anything that is not a plain file
        // (a link counts as what it points to).
        const QByteArray bytes(entry->d_name);
        if (bytes.startsWith('.'))
            continue;
        const QString name = fileNameFromBytes(bytes);
        struct stat info;
        if (IsRecordingFile(lowerExtension(name)) &&
            ::stat((path + '/' + bytes).constData(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_size > 0)
            names.append(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// What the listing jobs share with the lister. Jobs can outlive a cancelled listing and
// the lister itself, so they check the generation before each file and post to the lister
// only while it exists (its destructor clears the pointer under the lock).
struct FolderLister::Shared {
    std::atomic<quint64> generation{0};
    std::mutex lock;
    FolderLister* lister = nullptr;
};

namespace {

struct ListingJob {
    std::shared_ptr<FolderLister::Shared> shared;
    quint64 generation = 0;
    QString folder;
    std::shared_ptr<const QStringList> names; ///< null until the folder has been read
    qsizetype next = 0;
};

} // namespace

FolderLister::FolderLister(TagWorker& worker, QObject* parent)
    : QObject(parent), m_worker(worker), m_shared(std::make_shared<Shared>()) {
    m_shared->lister = this;
}

FolderLister::~FolderLister() {
    cancel();
    std::lock_guard lock(m_shared->lock);
    m_shared->lister = nullptr;
}

void FolderLister::cancel() {
    ++m_generation;
    m_shared->generation.store(m_generation);
    m_running = false;
}

void FolderLister::list(const QString& folder) {
    cancel();
    m_running = true;
    if (!m_toldNoTags && !m_worker.binding().canRead()) {
        // Said once, after the window has come up: the rows that follow have no tags because
        // the library is missing, not because the files have none.
        m_toldNoTags = true;
        QMetaObject::invokeMethod(
            this,
            [text = noTagLibraryText(m_worker.binding())] {
                messages().show(text, QStringLiteral("Information"), MessageIcon::Information,
                                MessageButtons::Ok);
            },
            Qt::QueuedConnection);
    }
    ListingJob job{m_shared, m_generation, folder, nullptr, 0};
    TagWorker* worker = &m_worker;
    // One job per slice, so that a tag read or save for the window runs between two slices
    // instead of after the whole folder.
    auto step = std::make_shared<std::function<void(const TagAccess&, ListingJob)>>();
    *step = [worker, weakStep = std::weak_ptr(step)](const TagAccess& access, ListingJob job) {
        Shared& shared = *job.shared;
        const auto current = [&] { return shared.generation.load() == job.generation; };
        if (!current())
            return;
        if (!job.names)
            job.names = std::make_shared<const QStringList>(recordingFileNames(job.folder));
        ListingSlice slice;
        QElapsedTimer elapsed;
        elapsed.start();
        const qsizetype from = job.next;
        while (job.next < job.names->size() && current()) {
            const QString& name = job.names->at(job.next++);
            TMCRS row;
            if (readListedFile(access, job.folder, name, row))
                slice.rows.push_back(std::move(row));
            else
                slice.failed.append(name);
            if (job.next - from >= SliceFiles || elapsed.elapsed() >= 25)
                break;
        }
        const bool last = job.next >= job.names->size();
        {
            std::lock_guard lock(shared.lock);
            if (!shared.lister || !current())
                return;
            FolderLister* lister = shared.lister;
            QMetaObject::invokeMethod(
                lister,
                [lister, generation = job.generation, slice = std::move(slice), last] {
                    lister->deliver(generation, slice, last);
                },
                Qt::QueuedConnection);
        }
        if (!last) {
            if (const auto self = weakStep.lock())
                worker->post([self, job](const TagAccess& a) { (*self)(a, job); });
        }
    };
    // The queued jobs hold the step; the step holds itself only weakly.
    worker->post([step, job](const TagAccess& access) { (*step)(access, job); });
}

void FolderLister::deliver(quint64 generation, const ListingSlice& slice, bool last) {
    if (generation != m_generation || !m_running)
        return;
    // For bug reports and the end-to-end tests: what the browser read from each file.
    if (qEnvironmentVariableIntValue("ORVANTA_BROWSER_TRACE") == 1) {
        for (const TMCRS& row : slice.rows)
            std::fprintf(stderr, "orvanta: browser row \"%s\": title \"%s\", artist \"%s\", %d s\n",
                         fileNameBytes(row.audiofile).constData(), row.title.toUtf8().constData(),
                         row.artist.toUtf8().constData(), row.duration);
        std::fflush(stderr);
    }
    if (last)
        m_running = false;
    emit sliceReady(slice);
    if (last)
        emit finished();
}

QString noTagLibraryText(const TagBinding& binding) {
    QString text = QStringLiteral("The tag library (libtagvessel.so) could not be loaded, so "
                                  "the recordings are listed without titles and artists, and "
                                  "tags cannot be edited.\nIt was looked for in:");
    for (const QString& place : binding.searched())
        text += QStringLiteral("\n    ") + place;
    text += QStringLiteral("\nand where the system looks for libraries.");
    if (!binding.error().isEmpty())
        text += QStringLiteral("\n\n") + binding.error();
    text += QStringLiteral("\nPlease reinstall the program.");
    return text;
}
