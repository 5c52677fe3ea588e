#include "processlauncher.h"

#include "common/spawn.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <vector>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Through syscall(): glibc 2.36's <sys/pidfd.h> declares its wrappers without C linkage.
int sendThroughPidfd(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

PidfdSignalFunction sendSignal = sendThroughPidfd;

// A started program, our own child, held through its pidfd. Once it has ended it is reaped
// at once, so that no zombie is left behind; the pidfd then still refers to the ended
// process, and a signal sent through it fails instead of reaching whatever process gets
// the id next.
class Child final : public QObject {
public:
    Child(pid_t pid, int pidfd) : m_pid(pid), m_fd(pidfd) {
        if (QCoreApplication::instance()) {
            // The pidfd becomes readable when the process ends.
            m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, [this] {
                if (ended() && m_alone)
                    deleteLater();
            });
        }
    }
    ~Child() override {
        ended();
        ::close(m_fd);
    }

    pid_t pid() const { return m_pid; }
    int fd() const { return m_fd; }

    /// True when the program has ended; reaps it then.
    bool ended() {
        if (m_reaped)
            return true;
        siginfo_t info{};
        int result = 0;
        do {
            result = waitid(P_PIDFD, static_cast<id_t>(m_fd), &info, WEXITED | WNOHANG);
        } while (result != 0 && errno == EINTR);
        if (result == 0 && info.si_pid == 0)
            return false;
        // Reaped now; or, failing, reaped elsewhere (SIGCHLD ignored): gone all the same.
        m_reaped = true;
        if (m_notifier)
            m_notifier->setEnabled(false); // the pidfd stays readable for ever
        return true;
    }

    /// Goes on watching the running program without an owner, to reap it when it ends; the
    /// application object frees it at exit otherwise. False when nothing could watch it.
    bool watchAlone() {
        QCoreApplication* const app = QCoreApplication::instance();
        if (!m_notifier || !app)
            return false;
        setParent(app);
        m_alone = true;
        return true;
    }

private:
    const pid_t m_pid;
    const int m_fd;
    QSocketNotifier* m_notifier = nullptr;
    bool m_reaped = false;
    bool m_alone = false;
};

// Waits up to `waitMs` for the process to end; true when it has.
bool waitForEnd(int pidfd, uint32_t waitMs) {
    const QDeadlineTimer deadline(static_cast<qint64>(waitMs));
    for (;;) {
        pollfd descriptor{pidfd, POLLIN, 0};
        const auto remaining =
            static_cast<int>(std::min<qint64>(deadline.remainingTime(), INT_MAX));
        const int ready = poll(&descriptor, 1, remaining);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

class SystemStartedProgram final : public StartedProgram {
public:
    explicit SystemStartedProgram(std::unique_ptr<Child> child) : m_child(std::move(child)) {}
    ~SystemStartedProgram() override {
        // Let go: the program runs on, watched until it ends.
        if (!m_child->ended() && m_child->watchAlone())
            m_child.release();
    }

    int64_t pid() const override { return m_child->pid(); }

    void close(uint32_t waitMs) override {
        if (m_child->ended())
            return;
        if (sendSignal(m_child->fd(), SIGTERM) != 0)
            return; // it ended in the meantime
        if (!waitForEnd(m_child->fd(), waitMs))
            sendSignal(m_child->fd(), SIGKILL);
        // Reaped here when it has gone already; otherwise when it goes.
        m_child->ended();
    }

private:
    std::unique_ptr<Child> m_child;
};

} // namespace

void setPidfdSignalForTesting(PidfdSignalFunction send) {
    sendSignal = send ? send : sendThroughPidfd;
}

std::unique_ptr<StartedProgram>
SystemProcessLauncher::start(const QString& program, const QStringList& arguments, QString& error) {
    const auto failed = [&](int code) {
        error = QStringLiteral("Cannot start \"%1\": %2").arg(program, qt_error_string(code));
        return nullptr;
    };

    int code = 0;
    const pid_t pid = spawnInOwnSession(program, arguments, &code);
    if (pid < 0)
        return failed(code);

    // The child is ours and only we reap it, so its id cannot have passed to another
    // process yet, even if it has ended already: this pidfd is the program's.
    const auto pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        const int code = errno;
        // A program we could not hold could not be closed safely either.
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return failed(code);
    }
    return std::make_unique<SystemStartedProgram>(std::make_unique<Child>(pid, pidfd));
}

namespace {

bool isSeparator(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

bool isAddressCode(QChar c) {
    return c == QLatin1Char('u') || c == QLatin1Char('U') || c == QLatin1Char('f') ||
           c == QLatin1Char('F') || c == QLatin1Char('1');
}

bool isDroppedCode(QChar c) {
    static const QLatin1String codes("ickdDnNvm");
    return codes.contains(c);
}

/// One argument of the command while it is read: its text, where the address goes into it,
/// and whether it was (partly) quoted, which keeps an empty argument.
struct Argument {
    QString text;
    std::vector<qsizetype> places;
    bool quoted = false;
    bool started = false;
};

} // namespace

QStringList commandArguments(const QString& app, const QString& url) {
    QStringList result;
    bool anyPlace = false;
    bool noProgram = false;
    Argument arg;

    const auto finish = [&] {
        if (!arg.started)
            return;
        if (result.isEmpty() && !arg.places.empty()) {
            // The program itself would be the address: the command names no program.
            noProgram = true;
        }
        anyPlace = anyPlace || !arg.places.empty();
        const bool onlyPlaces = arg.text.isEmpty() && !arg.places.empty();
        const bool onlyDroppedCodes = arg.text.isEmpty() && arg.places.empty() && !arg.quoted;
        if (!(onlyPlaces && url.isEmpty()) && !onlyDroppedCodes) {
            QString value = arg.text;
            // From the back, so that the earlier positions stay valid.
            for (auto it = arg.places.rbegin(); it != arg.places.rend(); ++it)
                value.insert(*it, url);
            result << value;
        }
        arg = Argument();
    };

    bool inQuotes = false;
    const qsizetype n = app.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = app.at(i);
        if (!inQuotes && isSeparator(c)) {
            finish();
            continue;
        }
        arg.started = true;
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
            arg.quoted = true;
            continue;
        }
        if (inQuotes && c == QLatin1Char('\\') && i + 1 < n) {
            const QChar next = app.at(i + 1);
            if (next == QLatin1Char('"') || next == QLatin1Char('`') || next == QLatin1Char('$') ||
                next == QLatin1Char('\\')) {
                arg.text += next;
                ++i;
                continue;
            }
        }
        if (c == QLatin1Char('%') && i + 1 < n) {
            const QChar code = app.at(i + 1);
            if (code == QLatin1Char('%')) {
                arg.text += QLatin1Char('%');
                ++i;
                continue;
            }
            if (isAddressCode(code)) {
                arg.places.push_back(arg.text.size());
                ++i;
                continue;
            }
            if (isDroppedCode(code)) {
                ++i;
                continue;
            }
            // Not a field code of the format: kept as written.
        }
        arg.text += c;
    }
    // An unclosed quote ends with the command.
    finish();

    if (noProgram || result.isEmpty() || result.front().trimmed().isEmpty())
        return {};
    if (!anyPlace && !url.isEmpty())
        result << url;
    return result;
}
