#include "versioncheck.h"

#include "common/messages.h"
#include "updatedeployment.h"
#include "vinfodownload.h"

#include <QNetworkReply>
#include <QSslConfiguration>
#include <QStringList>
#include <QSysInfo>
#include <QUrl>

#include <array>
#include <optional>

namespace {

const QString Caption = QStringLiteral("Orvanta");

// Servers commonly refuse request lines longer than 8 KiB; a report is cut to fit.
constexpr qsizetype MaxEncodedReport = 6000;

// The four numbers of a version text, or none when the text is not a version number.
std::optional<std::array<qint64, 4>> versionNumbers(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > 4)
        return std::nullopt;
    std::array<qint64, 4> numbers{};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        // At most nine digits each, so that the weighted sum cannot overflow.
        const QString& part = parts[i];
        if (part.isEmpty() || part.size() > 9)
            return std::nullopt;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
        }
        numbers[static_cast<size_t>(i)] = part.toLongLong();
    }
    return numbers;
}

// Reports have always named the sender's version with four numbers ("0.1.0" as "0.1.0.0"),
// and the server may sort them by it; anything else goes as it is.
QString reportedVersion(const QString& version) {
    if (!versionNumbers(version))
        return version;
    QStringList parts = version.split(QLatin1Char('.'));
    while (parts.size() < 4)
        parts << QStringLiteral("0");
    return parts.join(QLatin1Char('.'));
}

qint64 weighted(const std::array<qint64, 4>& v) {
    return v[0] * 1000000 + v[1] * 10000 + v[2] * 100 + v[3];
}

QString trimControl(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].unicode() <= 32)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 32)
        --end;
    return text.mid(begin, end - begin);
}

void showFailure(const QString& uri, const QString& errorText, unsigned errorCode) {
    messages().show(QStringLiteral("Could not download file version information from:\n") + uri +
                        QLatin1Char('\n') + errorText + QStringLiteral(" (") +
                        QString::number(errorCode) + QLatin1Char(')'),
                    Caption, MessageIcon::Error, MessageButtons::Ok);
}

} // namespace

TVersionCheck::TVersionCheck(int pid, QObject* parent) : QObject(parent), fpid(pid) {
    // The own version is built in, so it is always present.
    fFileversion = ownFileVersion();
    fproductname = QStringLiteral("Orvanta");
    fProductDescription = QStringLiteral("Orvanta");
    fpresent = true;
}

TVersionCheck::~TVersionCheck() {
    stopRequest();
    // Requests that ended but wait for the event loop to free them go now, before the
    // network access they came from.
    qDeleteAll(findChildren<TVInfoDownload*>(Qt::FindDirectChildrenOnly));
}

void TVersionCheck::Execute() {
    if (!configured()) {
        if (fNoUpdatesDlg) {
            messages().show(QStringLiteral("Update checks are not configured in this build of "
                                           "Orvanta."),
                            Caption, MessageIcon::Information, MessageButtons::Ok);
        }
        return;
    }
    const QByteArray path = QUrl(fURLCurrVerFile).path(QUrl::FullyEncoded).left(2048).toUtf8();
    QByteArray request = "/pad/getpad.php?pad=" + path + "&field=version";
    if (firstrun)
        request += "&firstrun=true";
    startRequest(0, request, "CheckUpdates/1.0");
}

void TVersionCheck::reporterror(const QString& info) {
    if (!configured())
        return;
    const QByteArray encoded = encodeReport(info);
    const QByteArray pid = QByteArray::number(fpid);
    const QString version = reportedVersion(fFileversion);
    const QByteArray ver = QUrl::toPercentEncoding(version);
    const QByteArray etype = "1";
    // The space after "E:" cannot stand in a request line; it travels encoded like the rest.
    TVInfoDownload* worker = startRequest(1,
                                          "/pad/appevents.php?product=" + pid + "&version=" + ver +
                                              "&type=" + etype + "&msg=E:%20" + encoded,
                                          "AppEvents/1.1");
    if (worker) {
        worker->text = QString::fromLatin1(encoded);
        worker->pid = QString::fromLatin1(pid);
        worker->ver = version;
        worker->etype = QString::fromLatin1(etype);
    }
}

QByteArray TVersionCheck::encodeReport(const QString& info) {
    const QString system = QStringLiteral(" System:") + systemDescription();
    QString text = info;
    // Every character takes at least one byte: what lies beyond cannot fit anyway.
    if (text.size() > MaxEncodedReport)
        text.truncate(MaxEncodedReport);
    if (!text.isEmpty() && text.back().isHighSurrogate())
        text.chop(1);
    QByteArray encoded = (text + system).toUtf8().toPercentEncoding();
    // A long trace loses its end, never the system description, and never half a character.
    while (encoded.size() > MaxEncodedReport && !text.isEmpty()) {
        text.chop(std::min<qsizetype>(text.size(), 64));
        if (!text.isEmpty() && text.back().isHighSurrogate())
            text.chop(1);
        encoded = (text + system).toUtf8().toPercentEncoding();
    }
    return encoded;
}

QString TVersionCheck::systemDescription() {
    return QSysInfo::prettyProductName() + QLatin1Char(' ') + QSysInfo::kernelType() +
           QLatin1Char(' ') + QSysInfo::kernelVersion();
}

bool TVersionCheck::isNewer(const QString& received, const QString& own) {
    if (!received.contains(QLatin1Char('.')) || !own.contains(QLatin1Char('.')))
        return false;
    const auto a = versionNumbers(received);
    const auto b = versionNumbers(own);
    return a && b && weighted(*b) < weighted(*a);
}

TVInfoDownload* TVersionCheck::startRequest(int mode, const QByteArray& pathAndQuery,
                                            const QByteArray& userAgent) {
    stopRequest();
    auto* worker = new TVInfoDownload(fURLCurrVerFile, fFailureDlg, this);
    worker->mode = mode;
    worker->ver = fFileversion;
    worker->onDone = [this](TVInfoDownload& done) { requestDone(done); };
    mythread = worker;

    const QUrl url =
        QUrl::fromEncoded("https://" + m_host.toUtf8() + pathAndQuery, QUrl::StrictMode);
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    if (!m_trusted.isEmpty()) {
        // Adding certificates ends Qt's loading of the system's on demand, so they are named
        // too; read once, as reading them takes a while.
        static const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        ssl.setCaCertificates(system + m_trusted);
    }
    ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
    worker->start(m_manager, url, userAgent, ssl, m_timeoutMs);
    return worker;
}

void TVersionCheck::stopRequest() {
    if (!mythread)
        return;
    TVInfoDownload* worker = mythread;
    mythread = nullptr;
    worker->cancel();
    delete worker;
}

void TVersionCheck::requestDone(TVInfoDownload& worker) {
    if (&worker != mythread)
        return;
    mythread = nullptr;
    // Inside the request's own signal: it goes when the event loop next runs. Everything
    // needed below is copied first, as a box's event loop may start another request.
    worker.deleteLater();
    if (worker.mode != 0)
        return;
    const bool failure = worker.fFailure;
    const bool failureDlg = worker.fFailureDlg;
    const QString uri = worker.fURI;
    const QString errorText = worker.ferrmsg;
    const unsigned errorCode = worker.ferr;
    const QString received = worker.fver;
    if (failure) {
        if (failureDlg)
            showFailure(uri, errorText, errorCode);
        return;
    }
    compare(received);
}

void TVersionCheck::compare(QString received) {
    if (!fpresent)
        return;
    if (fOnGetURL)
        fOnGetURL(received, fDownloadURL);
    received = trimControl(received);
    if (isNewer(received, fFileversion)) {
        // Without the question there is nothing to say: the program is not the latest.
        if (!fDownloadDlg)
            return;
        const MessageResult answer =
            messages().show(QStringLiteral("There is a new version ") + received +
                                QStringLiteral(" of this program\navailable at ") + fSiteName +
                                QStringLiteral("\nDo you want to download it now?"),
                            Caption, MessageIcon::Question, MessageButtons::YesNo);
        if (answer == MessageResult::Yes && openUrl)
            openUrl(fDownloadURL);
        return;
    }
    if (!versionNumbers(received)) {
        // An error page or other text is not a version: saying "latest" would be wrong.
        if (fFailureDlg) {
            showFailure(fURLCurrVerFile,
                        QStringLiteral("The server's answer is not a version number"),
                        QNetworkReply::UnknownContentError);
        }
        return;
    }
    if (fNoUpdatesDlg) {
        messages().show(QStringLiteral("You already have the latest version ") + fFileversion +
                            QStringLiteral(" of this program"),
                        Caption, MessageIcon::Information, MessageButtons::Ok);
    }
}
