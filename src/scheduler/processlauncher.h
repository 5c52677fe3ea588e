#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

/// Starts the application of a scheduled event and closes it again. The program replaces
/// it in tests. Window thread only.
class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    /// Starts `program` with `arguments`, detached, without a shell, in the program's own
    /// environment and current folder. True with the new process's id in `pid`; false with
    /// the system's text for the failure in `error`.
    virtual bool start(const QString& program, const QStringList& arguments, int64_t& pid,
                       QString& error) = 0;
    /// Asks process `pid` to close, waits up to `waitMs` milliseconds, then ends it.
    virtual void close(int64_t pid, uint32_t waitMs) = 0;
};

/// The real launcher: QProcess::startDetached and closeprocess.
class SystemProcessLauncher final : public ProcessLauncher {
public:
    bool start(const QString& program, const QStringList& arguments, int64_t& pid,
               QString& error) override;
    void close(int64_t pid, uint32_t waitMs) override;
};

/// The program and arguments that open `url` with the application command `app`. `app` is
/// split into arguments the way a desktop entry's Exec value is (double quotes, with
/// backslash escapes inside them; "%%" stands for "%"). Where it holds a placeholder for
/// the address (%u, %U, %f, %F or %1) the address takes its place; otherwise a non-empty
/// address is appended as one more argument. The address is never split or changed. Other
/// field codes (%i, %c, %k ...) are dropped. Empty when `app` names no program. Any thread.
QStringList commandArguments(const QString& app, const QString& url);
