#pragma once

#include <QByteArray>
#include <QMap>
#include <QSslServer>
#include <QString>

#include <functional>
#include <vector>

class QSslSocket;

/// A small HTTPS server on 127.0.0.1 for the update check's tests. It records every request
/// as it arrives and answers as each test says: a body, nothing at all (the request stays
/// open), or an endless body. Runs on the test's thread, served by its event loop.
class TestHttpsServer : public QSslServer {
    Q_OBJECT

public:
    struct Request {
        QByteArray method;
        /// The request target exactly as sent: path and query.
        QByteArray target;
        /// Header names in lower case.
        QMap<QByteArray, QByteArray> headers;
    };

    struct Answer {
        enum class Kind { Body, Hold, Flood };
        Kind kind = Kind::Body;
        QByteArray status = "200 OK";
        QByteArray body;
        /// Whether the Content-Length header is sent (Body), or claimed (this length).
        qint64 claimedLength = -1;
        /// Flood: how many bytes to offer without a length.
        qint64 floodBytes = 0;
    };

    TestHttpsServer(const QString& certificateFile, const QString& keyFile);
    ~TestHttpsServer() override;

    /// "127.0.0.1:port".
    QString host() const;

    /// Chooses the answer for the request with this index (0 for the first).
    std::function<Answer(const Request&, int index)> respond;

    std::vector<Request> requests;
    int connections = 0;
    int disconnections = 0;
    qint64 floodSent = 0;

protected:
    void incomingConnection(qintptr handle) override;

private:
    void serve(QSslSocket* socket);
    void readRequest(QSslSocket* socket);
    void flood(QSslSocket* socket, qint64 remaining);
};
