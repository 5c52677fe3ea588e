#pragma once

// Passing a recording to other programs: the mail client (through xdg-email), a desktop
// media player, and the maker's audio editor. Qt Core only; the browser window supplies
// what needs a GUI (opening a web page) as a hook.
//
// Threads: everything here runs on the window thread, except the wait of an `email`
// hand-off, which runs on a thread of its own. Results always come back on the window
// thread, through its event loop. Nothing here blocks the window thread.

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QObject;

/// The text of a mail result code ("Success", "Mapi error", ...); "Unknown error" for codes
/// without one. Any thread.
QString mailResultText(int code);

/// The mail result code for an exit status of xdg-email: 0 -> 0, 2 (file not found) -> 11,
/// 5 (no permission) -> 6; 1, 3, 4 and every other status -> 2. Any thread.
int mapiCodeFromXdgEmail(int exitStatus);

/// "Mapi Error #<code>, <text>". Any thread.
QString mailErrorText(int code);

/// One "Send by Email" hand-off: `xdg-email --attach <file>` opens the mail client's new
/// message with the recording attached, and a thread of its own waits until xdg-email
/// ends. Several may run at once.
///
/// The result arrives on the window thread: a code other than 0 is shown as
/// "Mapi Error #%d, %s" under "Mail Error", then `done` runs with the code. Both happen only
/// while `owner` still exists and terminate() has not been called. xdg-email missing or not
/// startable, killed by a signal, or any unexpected exit status gives code 2.
///
/// The object is only a handle: destroying it neither stops nor waits for the hand-off, and
/// the thread frees its own state when xdg-email has ended. The wait keeps reaping
/// xdg-email even after terminate(), so that no zombie is left behind; once the application
/// object is being destroyed no hand-off reports any more.
class email {
public:
    /// Window thread. Starts the hand-off at once. `owner` must not be null. `fullPath` is made
    /// absolute, so that it can never be read as an option.
    email(const QString& fullPath, QObject* owner, std::function<void(int code)> done);
    ~email();

    email(const email&) = delete;
    email& operator=(const email&) = delete;

    /// Stops waiting for the result: nothing is shown and `done` does not run. The mail
    /// client stays open. Never blocks. Any thread.
    void terminate();

    /// Whether xdg-email has ended (or could not be started) and its result was posted,
    /// or dropped after terminate(). Any thread.
    bool finished() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

/// A media player's command line that adds one file to its play queue.
struct MediaPlayerCommand {
    QString program;
    QStringList arguments;
};

/// Finds the full path of an executable on PATH; empty when there is none.
using ExecutableLookup = std::function<QString(const QString& name)>;

/// The PATH lookup of QStandardPaths::findExecutable.
QString findOnPath(const QString& name);

/// The first media player installed that takes a file on its command line, in this order:
/// rhythmbox-client --no-start --enqueue, strawberry --append, clementine --append,
/// audacious --enqueue. `program` is the full path the lookup gave. None when no player is
/// found. Any thread.
std::optional<MediaPlayerCommand>
findMediaPlayer(const QString& file, const ExecutableLookup& findExecutable = findOnPath);

/// How long a started player may run before it counts as having taken the file. Players
/// that were not running start with the file and keep running.
inline constexpr std::chrono::milliseconds MediaPlayerDecisionWindow = std::chrono::seconds(10);

/// Starts `command` (argument list, no shell, PATH lookup) in a session of its own and
/// watches it from a timer. `done(true)` when it exits with status 0, or is still running
/// after `decisionWindow`; `done(false)` when it cannot be started, exits with another status
/// or is killed. A player still running is never stopped, not even when the program ends;
/// it is polled slowly until it exits so that it is reaped. `done` runs on the window
/// thread, never inside this call, and only while `owner` (not null) exists. Window thread
/// only.
void runMediaPlayer(const MediaPlayerCommand& command, QObject* owner,
                    std::function<void(bool ok)> done,
                    std::chrono::milliseconds decisionWindow = MediaPlayerDecisionWindow);

/// "Send to iTunes": hands `file` (made absolute) to the first player findMediaPlayer()
/// finds. When there is none or it fails, shows "Could not connect to iTunes" (caption
/// "Error") first. Then `done` runs with the outcome; both only while `owner` exists.
/// Window thread only.
void sendToMediaPlayer(const QString& file, QObject* owner, std::function<void(bool ok)> done = {});

/// The audio editor's folder from its own settings (QSettings "Velmora"/"Pellasko", key
/// Settings/path); empty when it is not set. Window thread.
QString editorFolder();

/// The editor executable in `folder`: folder + "marrowin", else folder + "pellasko", each
/// only when it is an executable regular file. The folder is joined as it stands, so it
/// must end with a separator. Empty when neither is there. Any thread.
QString findAudioEditor(const QString& folder);

/// The editor's download page with the query "?ref=tallisk", from the environment variable
/// ORVANTA_EDITOR_DOWNLOAD_PAGE when it is set, else from the build setting of that name.
/// Empty when the page is not configured or is not an http(s) address. Any thread.
QString editorDownloadPage();

/// Starts `executable` in a session of its own with `file` as its one argument (its bytes
/// kept); nothing waits for it, a thread of its own reaps it. False when it could not be
/// started. Window thread.
bool startAudioEditor(const QString& executable, const QString& file);

/// "Edit Recording": opens `file` (made absolute) in the audio editor. When the editor is
/// not installed, shows "Component not found" and "Please download and install it from our
/// site." and then passes the download page, if one is configured, to `openUrl`. An editor
/// that is found but cannot be started is reported. Window thread only.
void editRecording(const QString& file, const std::function<void(const QString& url)>& openUrl);
