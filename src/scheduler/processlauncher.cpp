#include "processlauncher.h"

#include "settings/desktop.h"

#include <QProcess>

#include <limits>
#include <vector>

bool SystemProcessLauncher::start(const QString& program, const QStringList& arguments,
                                  int64_t& pid, QString& error) {
    // A QProcess object rather than the static call, so that a failure comes with Qt's text.
    // No shell: the program is executed directly; a name without a slash is looked up in
    // PATH by QProcess. An empty working folder keeps ours.
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    qint64 started = 0;
    if (process.startDetached(&started) && started > 0) {
        pid = started;
        return true;
    }
    // Qt says "execv: No such file or directory", which names neither the program nor what
    // was being done; keep the system's part and say which program did not start.
    QString reason = process.errorString();
    for (const char* prefix : {"execv: ", "execve: ", "execvp: "}) {
        if (reason.startsWith(QLatin1String(prefix))) {
            reason.remove(0, static_cast<qsizetype>(qstrlen(prefix)));
            break;
        }
    }
    if (reason.isEmpty())
        reason = QStringLiteral("the process could not be created");
    error = QStringLiteral("Cannot start \"%1\": %2").arg(program, reason);
    return false;
}

void SystemProcessLauncher::close(int64_t pid, uint32_t waitMs) {
    // closeprocess itself leaves alone ids that name no single other process (0, 1, ours).
    if (pid <= 0 || pid > std::numeric_limits<uint32_t>::max())
        return;
    closeprocess(static_cast<uint32_t>(pid), waitMs);
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
