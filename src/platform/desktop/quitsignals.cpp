#include "quitsignals.h"
#include "filedescriptor.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QtGlobal>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler may only touch lock-free atomics.
static_assert(std::atomic<int>::is_always_lock_free);

// The pipe's write end while an instance is installed, else -1.
std::atomic<int> g_writeFd{-1};
// Set while an instance owns the handlers.
std::atomic<bool> g_claimed{false};

constexpr std::array<int, 2> kSignals{SIGTERM, SIGHUP};

void onQuitSignal(int signalNumber) {
    const int savedErrno = errno;
    const int fd = g_writeFd.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds thousands of requests to quit; dropping one loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

struct SavedAction {
    int signalNumber = 0;
    bool replaced = false;
    struct sigaction previous {};
};

} // namespace

struct QuitSignals::Private {
    bool claimed = false;
    bool installed = false;
    FileDescriptor readEnd;
    FileDescriptor writeEnd;
    std::unique_ptr<QSocketNotifier> notifier;
    std::array<SavedAction, kSignals.size()> saved{};

    bool install();
    // Safe on a half-done install(): undoes only what was done.
    void uninstall();
    std::vector<unsigned char> drain() const;
};

bool QuitSignals::Private::install() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("Cannot watch for SIGTERM and SIGHUP: no pipe (%s).", std::strerror(errno));
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    g_writeFd.store(writeEnd.get());

    for (size_t i = 0; i < kSignals.size(); ++i) {
        SavedAction& slot = saved[i];
        slot.signalNumber = kSignals[i];
        struct sigaction current {};
        if (::sigaction(slot.signalNumber, nullptr, &current) != 0) {
            qWarning("Cannot watch for signal %d: %s.", slot.signalNumber, std::strerror(errno));
            return false;
        }
        // A program started with nohup keeps ignoring the end of its terminal.
        if (slot.signalNumber == SIGHUP && current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = onQuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(slot.signalNumber, &action, &slot.previous) != 0) {
            qWarning("Cannot watch for signal %d: %s.", slot.signalNumber, std::strerror(errno));
            return false;
        }
        slot.replaced = true;
    }
    return true;
}

void QuitSignals::Private::uninstall() {
    // Handlers first, so that none writes to a pipe that is being closed.
    for (SavedAction& slot : saved) {
        if (slot.replaced)
            ::sigaction(slot.signalNumber, &slot.previous, nullptr);
        slot.replaced = false;
    }
    g_writeFd.store(-1);
    notifier.reset();
    writeEnd.reset();
    readEnd.reset();
    installed = false;
}

std::vector<unsigned char> QuitSignals::Private::drain() const {
    std::vector<unsigned char> received;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0) {
            received.insert(received.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EAGAIN: the pipe is empty.
        break;
    }
    return received;
}

QuitSignals::QuitSignals(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {
    bool expected = false;
    if (!g_claimed.compare_exchange_strong(expected, true)) {
        qWarning("SIGTERM and SIGHUP are already watched by another QuitSignals object.");
        return;
    }
    d->claimed = true;
    if (!d->install()) {
        d->uninstall();
        return;
    }
    d->notifier =
        std::make_unique<QSocketNotifier>(d->readEnd.get(), QSocketNotifier::Read, nullptr);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] {
        // Everything is read before anything is emitted: a receiver may delete us.
        const std::vector<unsigned char> received = d->drain();
        const QPointer<QuitSignals> alive(this);
        for (const unsigned char signalNumber : received) {
            emit quitRequested(signalNumber);
            if (!alive)
                return;
        }
    });
    d->installed = true;
}

QuitSignals::~QuitSignals() {
    if (!d->claimed)
        return;
    d->uninstall();
    g_claimed.store(false);
}

bool QuitSignals::isInstalled() const {
    return d->installed;
}
