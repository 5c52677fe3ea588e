#pragma once

#include "writers/repair.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

/// One recording in progress as the journal knows it: an entry file that this object keeps
/// locked. Destroying it removes the entry; do that once the writer has finished the file.
/// Not copyable; the thread that destroys the writer destroys it (the window thread).
class JournalEntry {
public:
    ~JournalEntry();

    JournalEntry(const JournalEntry&) = delete;
    JournalEntry& operator=(const JournalEntry&) = delete;

    /// The entry file's path. Any thread.
    const QString& entryFile() const { return m_entryFile; }
    /// The recording's absolute path. Any thread.
    const QString& recording() const { return m_recording; }

private:
    friend class RecordingJournal;
    JournalEntry(QString entryFile, QString recording, int fd);

    QString m_entryFile;
    QString m_recording;
    int m_fd;
};

/// The journal of recordings in progress, shared by every process that records: one entry
/// file per open recording, locked (flock) by its owner for as long as the file is open.
/// The kernel drops the lock when the owner dies, however it dies, so an entry whose lock
/// can be taken belongs to a recording that was never finished; the next start repairs it.
///
/// Entries are written under a temporary name, locked, and only then renamed to their
/// final "*.entry" name, so an entry visible under that name always has a live owner or
/// none at all, never a half-written one. A journal that cannot be written never stops a
/// recording: opened() then gives null and says so on standard error, once.
///
/// Window thread only (the recorder's thread); separate processes need no coordination
/// beyond the locks.
class RecordingJournal {
public:
    /// A failed repair is tried again at later starts (the disk may not be mounted now), at
    /// most this many times in all and for at most KeepDays after the recording began.
    static constexpr int MaxAttempts = 10;
    static constexpr int KeepDays = 30;

    /// What happened to the recording of one abandoned entry.
    struct Abandoned {
        QString recording;
        RepairOutcome outcome = RepairOutcome::Unchanged;
        QString detail;         ///< why it failed, or why it was left alone
        int failedAttempts = 0; ///< failures so far, this one included (Failed only)
        bool kept = false;      ///< the entry stays for another attempt at the next start

        /// A failure the user has not heard of yet: later attempts stay quiet.
        bool firstFailure() const {
            return outcome == RepairOutcome::Failed && failedAttempts == 1;
        }
    };

    /// "$XDG_STATE_HOME/Velmora/Orvanta/recordings", with ~/.local/state when the variable
    /// is unset or not an absolute path.
    static QString defaultFolder();

    explicit RecordingJournal(QString folder = defaultFolder());

    const QString& folder() const { return m_folder; }

    /// Records that `recording` (a file just created by a writer of `codec`) is being
    /// written. Null when the entry could not be written; the recording goes on regardless.
    std::unique_ptr<JournalEntry> opened(const QString& recording, int codec);

    /// Repairs the recordings of every entry without a live owner and removes their entries
    /// (a failed one stays for a later attempt, see MaxAttempts). Never touches the file of
    /// an entry with a live owner, nor any file without an entry. Returns one item per
    /// abandoned entry dealt with, in no particular order.
    std::vector<Abandoned> repairAbandoned();

    /// The entry files now in the journal, live or not (file names, sorted).
    QStringList entries() const;

private:
    void warnOnce(const QString& what, const QString& reason);

    QString m_folder;
    bool m_warned = false;
};
