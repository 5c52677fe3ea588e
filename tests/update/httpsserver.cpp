#include "httpsserver.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

#include <memory>
#include <stdexcept>

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return file.readAll();
}

constexpr qint64 FloodChunk = 64 * 1024;

} // namespace

TestHttpsServer::TestHttpsServer(const QString& certificateFile, const QString& keyFile) {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(QSslCertificate(readFile(certificateFile), QSsl::Pem));
    config.setPrivateKey(QSslKey(readFile(keyFile), QSsl::Ec, QSsl::Pem));
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    setSslConfiguration(config);
    if (!listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("cannot listen on 127.0.0.1");
    connect(this, &QSslServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = nextPendingConnection())
            serve(static_cast<QSslSocket*>(socket));
    });
}

TestHttpsServer::~TestHttpsServer() {
    close();
}

QString TestHttpsServer::host() const {
    return QStringLiteral("127.0.0.1:%1").arg(serverPort());
}

void TestHttpsServer::incomingConnection(qintptr handle) {
    ++connections;
    QSslServer::incomingConnection(handle);
}

void TestHttpsServer::serve(QSslSocket* socket) {
    socket->setParent(this);
    connect(socket, &QSslSocket::disconnected, this, [this, socket] {
        ++disconnections;
        socket->deleteLater();
    });
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { readRequest(socket); });
    readRequest(socket);
}

void TestHttpsServer::readRequest(QSslSocket* socket) {
    if (socket->property("answered").toBool())
        return;
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        socket->setProperty("buffer", buffer);
        return;
    }
    socket->setProperty("answered", true);
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    Request request;
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    requests.push_back(request);
    const Answer answer = respond ? respond(request, int(requests.size()) - 1) : Answer{};

    switch (answer.kind) {
    case Answer::Kind::Hold:
        return;
    case Answer::Kind::Body: {
        const qint64 length = answer.claimedLength >= 0 ? answer.claimedLength : answer.body.size();
        socket->write("HTTP/1.1 " + answer.status + "\r\nContent-Type: text/plain\r\n" +
                      "Content-Length: " + QByteArray::number(length) +
                      "\r\nConnection: close\r\n\r\n" + answer.body);
        if (answer.claimedLength < 0)
            socket->disconnectFromHost();
        return;
    }
    case Answer::Kind::Flood:
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n");
        connect(socket, &QSslSocket::encryptedBytesWritten, this, [this, socket, answer] {
            if (socket->encryptedBytesToWrite() == 0 && socket->bytesToWrite() == 0)
                flood(socket, answer.floodBytes - floodSent);
        });
        flood(socket, answer.floodBytes);
        return;
    }
}

void TestHttpsServer::flood(QSslSocket* socket, qint64 remaining) {
    if (remaining <= 0 || socket->state() != QAbstractSocket::ConnectedState)
        return;
    const qint64 n = std::min(remaining, FloodChunk);
    socket->write(QByteArray(n, 'x'));
    floodSent += n;
}
