#pragma once

// An in-process HTTP server whose answers a test writes by hand, for behaviour a real static
// server never shows: a body without end, a body that drips, a reply that never comes. It lives
// in the test's thread; the dialog's downloads wait in nested event loops, which is when it
// answers. Every connection answers one request and is then driven by the test's responder.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>

class ScriptedHttpServer : public QObject
{
public:
    // One request: the path asked for, and the socket to answer on.
    struct Exchange
    {
        QString path;
        QPointer<QTcpSocket> socket;
        qint64 bodyBytesSent = 0;
    };
    using Responder = std::function<void(ScriptedHttpServer &server, Exchange &exchange)>;

    explicit ScriptedHttpServer(Responder responder)
        : m_responder(std::move(responder))
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    const int end = buffer->indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
                    buffer->clear();
                    auto exchange = std::make_shared<Exchange>();
                    exchange->path = requestLine.size() > 1 ? QString::fromLatin1(requestLine.at(1)) : QString();
                    exchange->socket = socket;
                    m_exchanges.append(exchange);
                    m_responder(*this, *exchange);
                });
            }
        });
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort()); }
    QStringList paths() const
    {
        QStringList result;
        for (const auto &exchange : m_exchanges)
            result << exchange->path;
        return result;
    }
    qint64 bodyBytesSent(const QString &path) const
    {
        qint64 sent = 0;
        for (const auto &exchange : m_exchanges)
            sent += exchange->path == path ? exchange->bodyBytesSent : 0;
        return sent;
    }

    // A whole reply with a Content-Length.
    static void reply(Exchange &exchange, const QByteArray &body, int status = 200)
    {
        if (!exchange.socket)
            return;
        exchange.socket->write("HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: "
                               + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        exchange.bodyBytesSent += body.size();
        exchange.socket->disconnectFromHost();
    }

    // Headers of a reply whose body follows with body(); contentLength < 0 leaves the length out
    // (the body then ends when the connection does).
    static void head(Exchange &exchange, qint64 contentLength)
    {
        if (!exchange.socket)
            return;
        QByteArray headers = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        if (contentLength >= 0)
            headers += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
        exchange.socket->write(headers + "\r\n");
    }

    static void body(Exchange &exchange, const QByteArray &bytes)
    {
        if (!exchange.socket || exchange.socket->state() != QAbstractSocket::ConnectedState)
            return;
        exchange.socket->write(bytes);
        exchange.bodyBytesSent += bytes.size();
    }

    // Sends block after block for as long as the client reads them.
    static void endless(Exchange &exchange, const QByteArray &block)
    {
        QTcpSocket *socket = exchange.socket;
        if (!socket)
            return;
        Exchange *e = &exchange;
        auto more = [e, socket, block] {
            while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 4 * block.size())
                body(*e, block);
        };
        connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
    }

    // One block every intervalMs, until the connection ends.
    static void drip(Exchange &exchange, const QByteArray &block, int intervalMs)
    {
        QTcpSocket *socket = exchange.socket;
        if (!socket)
            return;
        auto *timer = new QTimer(socket);
        Exchange *e = &exchange;
        connect(timer, &QTimer::timeout, socket, [e, block] { body(*e, block); });
        timer->start(intervalMs);
    }

private:
    QTcpServer m_server;
    Responder m_responder;
    QList<std::shared_ptr<Exchange>> m_exchanges;
};
