#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QSslConfiguration;
class QUrl;

/// One request to the update server: a version request (`mode` 0) or an error report
/// (`mode` 1). Qt's network access runs it without blocking the window thread; every
/// member is used on the window thread only. Not freed when it ends: its owner frees it.
class TVInfoDownload : public QObject {
    Q_OBJECT

public:
    /// A version text is a few bytes; anything larger is not one and is refused rather
    /// than kept in memory.
    static constexpr qint64 MaxBodyBytes = 64 * 1024;

    TVInfoDownload(QString uri, bool failureDlg, QObject* parent);
    /// Aborts a request still under way, without calling `onDone`.
    ~TVInfoDownload() override;

    /// Sends the request. `onDone` runs once when the answer is complete, failed or timed
    /// out, never after cancel() or destruction.
    void start(QNetworkAccessManager& manager, const QUrl& url, const QByteArray& userAgent,
               const QSslConfiguration& ssl, int timeoutMs);
    /// Aborts the request; `onDone` is not called.
    void cancel();

    std::function<void(TVInfoDownload&)> onDone;

    QString fURI;
    bool fFailureDlg = false;
    int mode = 0;
    /// The body with leading and trailing characters of code 32 or below removed.
    QString fver;
    /// The failure's code (a QNetworkReply::NetworkError value) and text.
    unsigned ferr = 0;
    QString ferrmsg;
    bool fFailure = false;

    // Error report (mode 1).
    QString text;
    QString pid;
    QString ver;
    QString etype;

private:
    void readAvailable();
    void finish();
    void fail(unsigned code, const QString& message);
    static QString tooLargeText();

    QPointer<QNetworkReply> m_reply;
    QTimer m_timeout;
    QByteArray m_body;
    bool m_done = false;
};
