#pragma once

// An in-process update server whose answers a test writes by hand, for replies our real server
// never gives (wrong sizes, interleaved files, hostile frames). It lives in the test's thread:
// the code under test runs nested event loops while it waits, which is when this server answers.

#include "tcp/tcpprotocol.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

class ScriptedServer : public QObject
{
public:
    // Called for every request frame with the 0-based number of that request.
    using Responder = std::function<void(ScriptedServer &server, const Frame &request, int index)>;

    explicit ScriptedServer(Responder responder)
        : m_responder(std::move(responder))
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                m_socket = socket;
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    m_reader.append(socket->readAll());
                    Frame frame;
                    while (m_reader.next(frame) == FrameReadStatus::FrameReady) {
                        m_requests.append(frame);
                        m_responder(*this, frame, m_requests.size() - 1);
                    }
                });
            }
        });
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    const QList<Frame> &requests() const { return m_requests; }

    void sendRaw(const QByteArray &bytes)
    {
        if (m_socket) {
            m_socket->write(bytes);
            m_socket->flush();
        }
    }
    void send(quint32 type, const QByteArray &payload) { sendRaw(makeFrame(type, payload, 0)); }
    void sendChunk(const FileItem &item, quint32 fileSize, const QByteArray &data, bool isLast)
    {
        send(TcpProtocol::FileData,
             makeFileDataHeader(item, fileSize, static_cast<quint32>(data.size()), isLast) + data);
    }
    void closeConnection()
    {
        if (m_socket)
            m_socket->disconnectFromHost();
    }

private:
    QTcpServer m_server;
    QPointer<QTcpSocket> m_socket;
    FrameReader m_reader;
    QList<Frame> m_requests;
    Responder m_responder;
};
