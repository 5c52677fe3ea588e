#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

/// Turns SIGTERM and SIGHUP (a session ending, `kill`, a closed terminal) into a Qt signal
/// on the thread that created the object, through a self-pipe: the handler only writes the
/// signal number into the pipe, which is all that is safe in a signal handler. A SIGHUP that
/// is ignored when the object is made (as under nohup) stays ignored. One instance per
/// process: a second one, while the first exists, installs nothing. Window thread.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    /// Restores the previous handlers and closes the pipe.
    ~QuitSignals() override;

    /// False when the pipe or a handler could not be set up (the program then ends on these
    /// signals as it would without us).
    bool isInstalled() const;

signals:
    /// Emitted once for every signal received, with its number.
    void quitRequested(int signalNumber);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
