#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

/// A program started by a ProcessLauncher. It holds that very process rather than its id:
/// once the program has ended the system gives the id to other processes, and closing must
/// never reach one of those. Destroying it lets the program run on. Window thread only.
class StartedProgram {
public:
    virtual ~StartedProgram() = default;
    /// The process id the program was started with.
    virtual int64_t pid() const = 0;
    /// Asks the program to close (SIGTERM), waits up to `waitMs` milliseconds for it to
    /// end, then ends it (SIGKILL). A program that has ended is not signalled.
    virtual void close(uint32_t waitMs) = 0;
};

/// Starts the application of a scheduled event. The program replaces it in tests. Window
/// thread only.
class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    /// Starts `program` with `arguments`, without a shell, in the program's own environment
    /// and current folder. The started program; null with the system's text for the
    /// failure in `error`.
    virtual std::unique_ptr<StartedProgram> start(const QString& program,
                                                  const QStringList& arguments, QString& error) = 0;
};

/// The real launcher. The program is our own child, held through a pidfd opened before it
/// can have been reaped, and reaped as soon as it ends (while the event loop runs).
class SystemProcessLauncher final : public ProcessLauncher {
public:
    std::unique_ptr<StartedProgram> start(const QString& program, const QStringList& arguments,
                                          QString& error) override;
};

/// Tests: the call through which started programs are signalled, with the arguments and
/// result of pidfd_send_signal(pidfd, signal, nullptr, 0). Null restores that call.
using PidfdSignalFunction = int (*)(int pidfd, int signal);
void setPidfdSignalForTesting(PidfdSignalFunction send);

/// The program and arguments that open `url` with the application command `app`. `app` is
/// split into arguments the way a desktop entry's Exec value is (double quotes, with
/// backslash escapes inside them; "%%" stands for "%"). Where it holds a placeholder for
/// the address (%u, %U, %f, %F or %1) the address takes its place; otherwise a non-empty
/// address is appended as one more argument. The address is never split or changed. Other
/// field codes (%i, %c, %k ...) are dropped. Empty when `app` names no program. Any thread.
QStringList commandArguments(const QString& app, const QString& url);
