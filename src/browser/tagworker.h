#pragma once

#include "browser/listing.h"
#include "browser/tagaccess.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

class TagBinding;

/// The one thread that calls the tag library. The library's returned strings are shared
/// state (freed all at once by taglib_tag_free_strings), so every read, save and remove
/// goes through this thread, one after another.
class TagWorker {
public:
    /// Any thread. Takes the loaded library and starts the thread.
    explicit TagWorker(std::unique_ptr<TagBinding> binding);
    /// Finishes the job in hand, drops the queued ones and ends the thread.
    ~TagWorker();

    TagWorker(const TagWorker&) = delete;
    TagWorker& operator=(const TagWorker&) = delete;

    /// The library's load state (read-only after construction; any thread).
    const TagBinding& binding() const { return *m_binding; }

    /// Queues a job. Any thread.
    void post(std::function<void(const TagAccess&)> job);

    /// Runs `job` on the worker and waits for its result. Any thread but the worker's. A
    /// queued listing slice may run first: slices are short.
    template <typename F> auto call(F job) -> std::invoke_result_t<F, const TagAccess&> {
        using Result = std::invoke_result_t<F, const TagAccess&>;
        auto task = std::make_shared<std::packaged_task<Result(const TagAccess&)>>(std::move(job));
        std::future<Result> result = task->get_future();
        post([task](const TagAccess& access) { (*task)(access); });
        return result.get();
    }

private:
    void run();

    std::unique_ptr<TagBinding> m_binding;
    std::unique_ptr<TagAccess> m_access;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void(const TagAccess&)>> m_jobs;
    bool m_stop = false;
    std::thread m_thread;
};

/// One finished part of a listing, handed to the window thread.
struct ListingSlice {
    std::vector<TMCRS> rows;
    /// Bare names of files whose date or tag could not be read (skipped, not counted).
    QStringList failed;
};

/// Lists a folder's recordings off the window thread: the folder is read and each file's
/// tag taken on the tag worker, in slices, and the rows arrive on the window thread in the
/// order of the folder's (name-sorted) listing. A new listing cancels the one running.
/// Window thread only (the object lives there).
class FolderLister : public QObject {
    Q_OBJECT

public:
    explicit FolderLister(TagWorker& worker, QObject* parent = nullptr);
    ~FolderLister() override;

    /// Starts listing `folder`; a listing still running is cancelled and its later slices
    /// are dropped. The first listing without a usable tag library says so (once).
    void list(const QString& folder);
    /// Cancels the running listing; no further signal of it arrives.
    void cancel();
    bool running() const { return m_running; }

    /// How many files one slice holds at most; a slice also ends after about 25 ms.
    static constexpr int SliceFiles = 64;

    /// What the listing jobs share with the lister.
    struct Shared;

signals:
    /// A slice of the running listing.
    void sliceReady(const ListingSlice& slice);
    /// The running listing has delivered its last slice.
    void finished();

private:
    void deliver(quint64 generation, const ListingSlice& slice, bool last);

    TagWorker& m_worker;
    std::shared_ptr<Shared> m_shared;
    bool m_toldNoTags = false; ///< the missing tag library has been reported
    quint64 m_generation = 0;
    bool m_running = false;
};

/// Reads one file of a listing: its last-write time and tag. False when the file vanished
/// or its date cannot be read. Tag worker thread.
bool readListedFile(const TagAccess& access, const QString& folder, const QString& name,
                    TMCRS& row);

/// The information shown once when the tag library could not be loaded: what is missing,
/// where it was looked for and why it failed.
QString noTagLibraryText(const TagBinding& binding);

/// The names in `folder` that a listing takes: plain files (no folders, no hidden files)
/// with a recording extension and a size above 0, sorted by name. Any thread.
QStringList recordingFileNames(const QString& folder);
