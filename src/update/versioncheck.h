#pragma once

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <functional>

class TVInfoDownload;

/// Asks the update server for the product's current version and offers the download page
/// when it is newer; sends the reports of unhandled exceptions. At most one request runs at
/// a time: a new one cancels the one before. Nothing here blocks; the answers and every
/// box are handled on the window thread. Window thread only.
///
/// Without a server host (see UpdateDeployment) nothing is ever sent: `Execute` shows only
/// that update checks are not configured (when `fNoUpdatesDlg` is set), `reporterror`
/// does nothing.
class TVersionCheck : public QObject {
    Q_OBJECT

public:
    static constexpr int DefaultTimeoutMs = 30000;

    explicit TVersionCheck(int pid, QObject* parent = nullptr);
    /// Cancels a request still under way; shows nothing.
    ~TVersionCheck() override;

    /// Starts a version request.
    void Execute();
    /// Starts an error report with `info` (the exception's text); nothing is shown.
    void reporterror(const QString& info);

    /// "host" or "host:port" of the update server; empty: nothing is ever sent.
    void setServerHost(const QString& host) { m_host = host; }
    const QString& serverHost() const { return m_host; }
    bool configured() const { return !m_host.isEmpty(); }
    /// Certificates trusted in addition to the system's (a private server, tests). The
    /// server's certificate is always verified.
    void setTrustedCertificates(const QList<QSslCertificate>& certificates) {
        m_trusted = certificates;
    }
    /// How long a request may take before it counts as failed.
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }
    /// True while a request is under way.
    bool busy() const { return mythread != nullptr; }

    /// The received version is newer than the own one: both contain a "." and compare by
    /// the weights 1000000, 10000, 100 and 1 of their four numbers; missing ones count as 0,
    /// so "0.1.0.0" is the same version as "0.1.0".
    static bool isNewer(const QString& received, const QString& own);
    /// The report text `info` + " System:" + this system, UTF-8 and percent-encoded.
    static QByteArray encodeReport(const QString& info);
    /// The operating system: distribution, kernel type and version.
    static QString systemDescription();

    bool fFailureDlg = false;
    bool fDownloadDlg = true;
    bool fNoUpdatesDlg = true;
    /// Address of the version file; only its path is used.
    QString fURLCurrVerFile;
    /// The server's name shown in the "new version" question.
    QString fSiteName;
    QString fDownloadURL;
    int fpid = 0;
    /// The own version, shown in the boxes and compared; reports send it with four numbers.
    QString fFileversion = QStringLiteral("0.0.0.0");
    QString fproductname = QStringLiteral("Unknown");
    QString fProductDescription = QStringLiteral("Unknown");
    bool fpresent = false;
    /// The version request says that this is the first run.
    bool firstrun = false;
    /// Called with the received version text before the comparison; may change the
    /// download address.
    std::function<void(const QString& version, QString& downloadUrl)> fOnGetURL;
    /// Opens the download page (the desktop's browser); set by the window program.
    std::function<void(const QString& url)> openUrl;

    /// The request under way, or none.
    TVInfoDownload* mythread = nullptr;

private:
    TVInfoDownload* startRequest(int mode, const QByteArray& pathAndQuery,
                                 const QByteArray& userAgent);
    void stopRequest();
    void requestDone(TVInfoDownload& worker);
    void compare(QString received);

    QNetworkAccessManager m_manager;
    QString m_host;
    QList<QSslCertificate> m_trusted;
    int m_timeoutMs = DefaultTimeoutMs;
};
