#pragma once

#include "filesyncer.h"

#include <QString>

#include <chrono>
#include <cstdint>

/// A writer's share of the durability work: it counts the audio the writer takes in and,
/// about once a second of it, asks the process-wide FileSyncer to make the file durable, so
/// that a power cut loses at most about the last second. Owned by one writer; all calls on
/// that writer's thread (the window thread); the syncer does the waiting on its own thread.
class DurableSync {
public:
    DurableSync() = default;
    /// Gives the file up with a last sync, as finish() does.
    ~DurableSync() { finish(); }

    DurableSync(const DurableSync&) = delete;
    DurableSync& operator=(const DurableSync&) = delete;

    /// Starts on the file open as `fd` (duplicated; the caller keeps and closes its own) with
    /// `bytesPerSecond` bytes of input audio to a second. Without it, nothing is synced.
    void attach(int fd, uint64_t bytesPerSecond);
    /// Counts `bytes` of audio taken in. True once a second's worth has been counted since it
    /// last returned true: the writer then brings its headers up to date and calls request().
    bool secondPassed(uint64_t bytes);
    /// Asks for a sync of what the file holds now; does not wait for it.
    void request();
    /// Asks for a last sync and gives the file up; call once the file is complete. Calls
    /// after the first do nothing.
    void finish();
    /// Like finish(), but waits up to FinalSyncWait for the last sync and returns empty, or
    /// the reason the disk gave for failing to store the file (any sync of it, this one
    /// included). The window thread waits here only once per file, at its end.
    QString finishAndWait();
    static constexpr std::chrono::milliseconds FinalSyncWait{1500};

    /// Empty, or a message for the user when the disk reported a failure to store the file
    /// (`name` is the file's name for it).
    QString failure(const QString& name) const;

private:
    FileSyncer::Ticket m_ticket = 0;
    uint64_t m_bytesPerSecond = 0;
    uint64_t m_counted = 0;
};
