#pragma once

// Helpers of the tests that run the programs against the private sound server of the test
// command.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

/// The null sink the test command makes the default output.
inline const QString TestSink = QStringLiteral("orvanta_test");

/// What `pactl ARGS` prints, trimmed; a failure is a test failure (and gives "").
QString pactl(const QStringList& args);

/// True when a sound server answers (pactl info).
bool soundServerRuns();

/// Plays a file on the test sink and waits for its end (hang guard: 60 s). A client with
/// the player's default two-second buffer does not underrun here. (Cached samples played by
/// the server itself would be safer still, but PipeWire's pulse server of Debian 12 plays
/// their tail first and then crashes.) Reports a test failure when it does not play.
bool playToTheEnd(const QString& file);

/// Runs a program (orvanta-rec) and collects what it prints. Killed when destroyed.
class ProgramRun {
public:
    ProgramRun(const QString& program, const QStringList& args,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
    ~ProgramRun() { kill(); }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    /// Waits until standard error holds `text` (hang guard: 30 s).
    bool waitForError(const QString& text);
    /// Whether standard error holds `text` by now; does not wait.
    bool hasError(const QString& text);
    /// Waits for the end (hang guard: 60 s unless given); returns the exit code, or -1.
    int finish(int guardMs = 60000);
    /// SIGKILL: no handler runs, nothing is finished.
    void kill();
    void terminate() { m_process.terminate(); }
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    const QString& errors() const { return m_stderr; }
    const QString& output() const { return m_stdout; }

private:
    QProcess m_process;
    QString m_stderr;
    QString m_stdout;
};
