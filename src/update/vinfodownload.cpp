#include "vinfodownload.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

TVInfoDownload::TVInfoDownload(QString uri, bool failureDlg, QObject* parent)
    : QObject(parent), fURI(std::move(uri)), fFailureDlg(failureDlg) {
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        fail(QNetworkReply::TimeoutError, QStringLiteral("The server did not answer in time (%1 s)")
                                              .arg(m_timeout.interval() / 1000.0));
    });
}

TVInfoDownload::~TVInfoDownload() {
    cancel();
}

void TVInfoDownload::start(QNetworkAccessManager& manager, const QUrl& url,
                           const QByteArray& userAgent, const QSslConfiguration& ssl,
                           int timeoutMs) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent);
    // The answer must come from the server itself, never from a cache on the way.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");
    // Reports carry system details: they may follow a redirect on the same server only.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    request.setSslConfiguration(ssl);

    m_reply = manager.get(request);
    // The reply belongs to this request, so that freeing the request frees the reply.
    m_reply->setParent(this);
    // Keeps Qt from reading far ahead of the size check below.
    m_reply->setReadBufferSize(MaxBodyBytes + 1);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > MaxBodyBytes)
            fail(QNetworkReply::UnknownContentError, tooLargeText());
    });
    connect(m_reply, &QNetworkReply::readyRead, this, &TVInfoDownload::readAvailable);
    connect(m_reply, &QNetworkReply::finished, this, &TVInfoDownload::finish);
    m_timeout.start(timeoutMs);
}

QString TVInfoDownload::tooLargeText() {
    return QStringLiteral("The server's answer is larger than %1 KiB").arg(MaxBodyBytes / 1024);
}

void TVInfoDownload::cancel() {
    m_timeout.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        delete m_reply;
    }
    m_done = true;
}

void TVInfoDownload::readAvailable() {
    if (m_done || !m_reply)
        return;
    m_body += m_reply->read(MaxBodyBytes + 1 - m_body.size());
    if (m_body.size() > MaxBodyBytes)
        fail(QNetworkReply::UnknownContentError, tooLargeText());
}

void TVInfoDownload::finish() {
    if (m_done)
        return;
    if (m_reply->error() != QNetworkReply::NoError) {
        fail(m_reply->error(), m_reply->errorString());
        return;
    }
    readAvailable();
    if (m_done)
        return;
    int begin = 0;
    int end = m_body.size();
    while (begin < end && static_cast<unsigned char>(m_body[begin]) <= 32)
        ++begin;
    while (end > begin && static_cast<unsigned char>(m_body[end - 1]) <= 32)
        --end;
    fver = QString::fromUtf8(m_body.constData() + begin, end - begin);
    if (fver.isEmpty()) {
        fail(QNetworkReply::UnknownContentError, QStringLiteral("The server's answer is empty"));
        return;
    }
    m_done = true;
    m_timeout.stop();
    m_body.clear();
    // The reply is inside its own signal here: it goes when the event loop next runs.
    m_reply->disconnect(this);
    m_reply->deleteLater();
    if (onDone)
        onDone(*this);
}

void TVInfoDownload::fail(unsigned code, const QString& message) {
    if (m_done)
        return;
    m_done = true;
    m_timeout.stop();
    m_body.clear();
    fFailure = true;
    ferr = code;
    ferrmsg = message;
    if (m_reply) {
        m_reply->disconnect(this);
        // May be inside one of the reply's signals: abort now, free later.
        m_reply->abort();
        m_reply->deleteLater();
    }
    if (onDone)
        onDone(*this);
}
