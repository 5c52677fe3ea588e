#include "sharing.h"

#include "common/messages.h"
#include "common/spawn.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef ORVANTA_EDITOR_DOWNLOAD_PAGE
#define ORVANTA_EDITOR_DOWNLOAD_PAGE ""
#endif

namespace {

using namespace std::chrono_literals;

const char* const MailResultTexts[] = {"Success",
                                       "Aborted by user",
                                       "Mapi error",
                                       "Logon failure or Logon aborted",
                                       "Disk full",
                                       "Insufficient Memory",
                                       "Access denied",
                                       "Undocumented",
                                       "To many sessions",
                                       "To many files",
                                       "To many recipients",
                                       "Attachment not found",
                                       "Attachement open error",
                                       "Attachement write error",
                                       "Unknown recipient",
                                       "Illegal recipient type",
                                       "No Message error",
                                       "Invalid Message",
                                       "Text to large",
                                       "Invalid session",
                                       "type not supported",
                                       "Ambiguos recipient",
                                       "Message in use",
                                       "Mapi Network error",
                                       "Invalid edit fields",
                                       "Invalid recipient",
                                       "not supported"};

constexpr int MapiFailure = 2;

const QString AppCaption = QStringLiteral("Orvanta");

QString absolutePath(const QString& file) {
    // A relative name such as "-x.mp3" would be read as an option by the receiving program.
    return file.isEmpty() ? file : QFileInfo(file).absoluteFilePath();
}

enum class ChildState { Running, Exited, Lost };

// One non-blocking look at a child. `status` is valid for Exited.
ChildState pollChild(pid_t pid, int& status) {
    for (;;) {
        const pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid)
            return ChildState::Exited;
        if (result == 0)
            return ChildState::Running;
        if (errno != EINTR)
            return ChildState::Lost; // Reaped elsewhere (SIGCHLD ignored); its status is gone.
    }
}

// Results of worker threads are posted to the application object, so that they run on
// the window thread. Once the application object is being destroyed nothing may be
// posted any more; the gate closes from its destructor, under the same lock that posting
// holds. The gate is never freed: detached threads may still look at it while the
// process exits.
struct PostGate {
    std::mutex lock;
    bool open = false;
    bool watching = false;
};

PostGate& postGate() {
    static PostGate* const gate = new PostGate;
    return *gate;
}

void closePostGate() {
    PostGate& gate = postGate();
    std::lock_guard lock(gate.lock);
    gate.open = false;
    gate.watching = false;
}

// Window thread.
void openPostGate() {
    PostGate& gate = postGate();
    bool watching = false;
    {
        std::lock_guard lock(gate.lock);
        watching = gate.watching;
        gate.watching = true;
        gate.open = QCoreApplication::instance() != nullptr;
    }
    if (!watching)
        qAddPostRoutine(closePostGate);
}

template <typename F> bool postToWindowThread(F&& job) {
    PostGate& gate = postGate();
    std::lock_guard lock(gate.lock);
    QCoreApplication* const app = QCoreApplication::instance();
    if (!gate.open || !app)
        return false;
    QMetaObject::invokeMethod(app, std::forward<F>(job), Qt::QueuedConnection);
    return true;
}

} // namespace

QString mailResultText(int code) {
    if (code < 0 || code >= int(std::size(MailResultTexts)))
        return QStringLiteral("Unknown error");
    return QString::fromLatin1(MailResultTexts[code]);
}

int mapiCodeFromXdgEmail(int exitStatus) {
    switch (exitStatus) {
    case 0:
        return 0;
    case 2: // The file to attach does not exist.
        return 11;
    case 5: // No permission to read the file.
        return 6;
    default: // Syntax error, no mail tool, the action failed, or something unforeseen.
        return MapiFailure;
    }
}

QString mailErrorText(int code) {
    return QStringLiteral("Mapi Error #%1, %2").arg(QString::number(code), mailResultText(code));
}

// ---------------------------------------------------------------------------------------
// email

struct email::State {
    QString path;
    std::atomic<bool> terminated{false};
    std::atomic<bool> finished{false};
};

namespace {

// What only the window thread may touch; it travels with the result.
struct MailReport {
    QPointer<QObject> owner;
    std::function<void(int)> done;
};

void deliverMail(const std::shared_ptr<email::State>& state, const MailReport& report, int code) {
    if (state->terminated || !report.owner)
        return;
    if (code != 0) {
        messages().show(mailErrorText(code), QStringLiteral("Mail Error"), MessageIcon::Error,
                        MessageButtons::Ok);
        // The box's event loop may have run the owner's destruction.
        if (state->terminated || !report.owner)
            return;
    }
    if (report.done)
        report.done(code);
}

void finishMail(const std::shared_ptr<email::State>& state, MailReport report, int code) {
    postToWindowThread(
        [state, report = std::move(report), code] { deliverMail(state, report, code); });
    state->finished = true;
}

// The mail thread.
void waitForMail(const std::shared_ptr<email::State>& state, MailReport report) {
    int code = MapiFailure; // Also when xdg-email is missing or cannot be started.
    const pid_t pid =
        spawnInOwnSession(QStringLiteral("xdg-email"), {QStringLiteral("--attach"), state->path});
    if (pid > 0) {
        for (;;) {
            int status = 0;
            const ChildState child = pollChild(pid, status);
            if (child == ChildState::Exited) {
                if (WIFEXITED(status))
                    code = mapiCodeFromXdgEmail(WEXITSTATUS(status));
                break;
            }
            if (child == ChildState::Lost)
                break;
            // After terminate() nobody waits for the result, but xdg-email is still reaped.
            std::this_thread::sleep_for(state->terminated ? 500ms : 50ms);
        }
    }
    finishMail(state, std::move(report), code);
}

} // namespace

email::email(const QString& fullPath, QObject* owner, std::function<void(int code)> done)
    : m_state(std::make_shared<State>()) {
    m_state->path = absolutePath(fullPath);
    openPostGate();
    MailReport report{owner, std::move(done)};
    try {
        std::thread(waitForMail, m_state, report).detach();
    } catch (const std::system_error&) {
        finishMail(m_state, std::move(report), MapiFailure);
    }
}

email::~email() = default;

void email::terminate() {
    m_state->terminated = true;
}

bool email::finished() const {
    return m_state->finished;
}

// ---------------------------------------------------------------------------------------
// Media player

QString findOnPath(const QString& name) {
    return QStandardPaths::findExecutable(name);
}

std::optional<MediaPlayerCommand> findMediaPlayer(const QString& file,
                                                  const ExecutableLookup& findExecutable) {
    struct Player {
        const char* program;
        const char* const* options;
    };
    static const char* const rhythmbox[] = {"--no-start", "--enqueue", nullptr};
    static const char* const append[] = {"--append", nullptr};
    static const char* const enqueue[] = {"--enqueue", nullptr};
    static const Player players[] = {{"rhythmbox-client", rhythmbox},
                                     {"strawberry", append},
                                     {"clementine", append},
                                     {"audacious", enqueue}};
    for (const Player& player : players) {
        const QString program = findExecutable(QString::fromLatin1(player.program));
        if (program.isEmpty())
            continue;
        MediaPlayerCommand command{program, {}};
        for (const char* const* option = player.options; *option; ++option)
            command.arguments.append(QString::fromLatin1(*option));
        command.arguments.append(file);
        return command;
    }
    return std::nullopt;
}

namespace {

struct PlayerWatch {
    pid_t pid = -1;
    QPointer<QObject> owner;
    std::function<void(bool)> done;
    std::chrono::steady_clock::time_point deadline;
    bool decided = false;
    QTimer* timer = nullptr;
};

// The callback runs from its own event, never from inside the timer's slot or the caller.
void reportPlayer(QPointer<QObject> owner, std::function<void(bool)> done, bool ok) {
    QCoreApplication* const app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app,
        [owner = std::move(owner), done = std::move(done), ok] {
            if (owner && done)
                done(ok);
        },
        Qt::QueuedConnection);
}

void decidePlayer(PlayerWatch& watch, bool ok) {
    if (watch.decided)
        return;
    watch.decided = true;
    reportPlayer(std::move(watch.owner), std::exchange(watch.done, nullptr), ok);
}

void pollPlayer(const std::shared_ptr<PlayerWatch>& watch) {
    int status = 0;
    const ChildState child = pollChild(watch->pid, status);
    if (child != ChildState::Running) {
        watch->timer->stop();
        watch->timer->deleteLater();
        decidePlayer(*watch,
                     child == ChildState::Exited && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return;
    }
    if (!watch->decided && std::chrono::steady_clock::now() >= watch->deadline) {
        // A player that was not running starts with the file and stays; it has taken it.
        // It is only watched from now on, slowly, so that it is reaped when it exits.
        decidePlayer(*watch, true);
        watch->timer->setInterval(2s);
    }
}

} // namespace

void runMediaPlayer(const MediaPlayerCommand& command, QObject* owner,
                    std::function<void(bool ok)> done, std::chrono::milliseconds decisionWindow) {
    QCoreApplication* const app = QCoreApplication::instance();
    if (!app)
        return; // Nothing could watch the child or deliver the result.
    const pid_t pid = spawnInOwnSession(command.program, command.arguments);
    if (pid <= 0) {
        reportPlayer(owner, std::move(done), false);
        return;
    }
    auto watch = std::make_shared<PlayerWatch>();
    watch->pid = pid;
    watch->owner = owner;
    watch->done = std::move(done);
    watch->deadline = std::chrono::steady_clock::now() + decisionWindow;
    // Owned by the application object: the watch ends with it, the player does not.
    watch->timer = new QTimer(app);
    watch->timer->setInterval(50ms);
    QObject::connect(watch->timer, &QTimer::timeout, watch->timer, [watch] { pollPlayer(watch); });
    watch->timer->start();
}

void sendToMediaPlayer(const QString& file, QObject* owner, std::function<void(bool ok)> done) {
    QPointer<QObject> guard(owner);
    auto finish = [guard, done = std::move(done)](bool ok) {
        if (!ok) {
            messages().show(QStringLiteral("Could not connect to iTunes"), QStringLiteral("Error"),
                            MessageIcon::Error, MessageButtons::Ok);
            if (!guard)
                return;
        }
        if (done)
            done(ok);
    };
    if (const auto command = findMediaPlayer(absolutePath(file)))
        runMediaPlayer(*command, owner, std::move(finish));
    else
        reportPlayer(guard, std::move(finish), false);
}

// ---------------------------------------------------------------------------------------
// Audio editor

QString editorFolder() {
    const QSettings settings(QStringLiteral("Velmora"), QStringLiteral("Pellasko"));
    return settings.value(QStringLiteral("Settings/path")).toString();
}

QString findAudioEditor(const QString& folder) {
    if (folder.isEmpty())
        return {};
    for (const QString& name : {QStringLiteral("marrowin"), QStringLiteral("pellasko")}) {
        const QFileInfo candidate(folder + name);
        // Absolute, so that starting it can never fall back to a PATH lookup.
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.absoluteFilePath();
    }
    return {};
}

QString editorDownloadPage() {
    const char* const variable = "ORVANTA_EDITOR_DOWNLOAD_PAGE";
    const QString page =
        (qEnvironmentVariableIsSet(variable) ? qEnvironmentVariable(variable)
                                             : QString::fromUtf8(ORVANTA_EDITOR_DOWNLOAD_PAGE))
            .trimmed();
    if (page.isEmpty())
        return {};
    QUrl url(page, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("https") && scheme != QLatin1String("http")) ||
        url.host().isEmpty()) {
        qWarning("Orvanta: the editor's download page \"%s\" is not an http(s) address; it is "
                 "not opened",
                 qPrintable(page));
        return {};
    }
    url.setQuery(QStringLiteral("ref=tallisk"));
    return url.toString(QUrl::FullyEncoded);
}

bool startAudioEditor(const QString& executable, const QString& file) {
    // Not QProcess::startDetached: it would pass a name that is not UTF-8 with "?" in place
    // of those bytes.
    const pid_t pid = spawnInOwnSession(executable, {file});
    if (pid <= 0)
        return false;
    // Nothing waits for the editor; a thread of its own reaps it when it exits.
    try {
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Left unreaped: a zombie until the program ends, the editor itself unharmed.
    }
    return true;
}

void editRecording(const QString& file, const std::function<void(const QString& url)>& openUrl) {
    const QString editor = findAudioEditor(editorFolder());
    if (!editor.isEmpty()) {
        if (!startAudioEditor(editor, absolutePath(file)))
            messages().show(QStringLiteral("Could not start the audio editor \"%1\".\nPlease "
                                           "check its installation.")
                                .arg(editor),
                            AppCaption, MessageIcon::Error, MessageButtons::Ok);
        return;
    }
    messages().show(QStringLiteral("Component not found\nPlease download and install it from "
                                   "our site."),
                    AppCaption, MessageIcon::Information, MessageButtons::Ok);
    const QString page = editorDownloadPage();
    if (!page.isEmpty() && openUrl)
        openUrl(page);
}
