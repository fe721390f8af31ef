#pragma once

#include "tcp/tcpprotocol.h"

#include <QHash>
#include <QSet>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QTcpServer;

// What the server serves and which faults it injects.
struct ServerOptions
{
    static constexpr int DefaultChunkSize = 64 * 1024;
    static constexpr qint64 NoLimit = -1;

    QString root;                 // release directory
    QString version;              // the version it offers
    QHostAddress host = QHostAddress::LocalHost;
    quint16 port = 0;             // 0: the system picks a free port
    int chunkSize = DefaultChunkSize;
    QHash<QString, int> failures; // file name (or relative path) -> ServerError answers left; -1 = always
    bool silent = false;          // accept connections, answer nothing
    qint64 closeAfter = NoLimit;  // close a connection after this many file data bytes
    QSet<QString> wrongSize;      // file names (or relative paths) announced one byte too large
    qint64 rate = NoLimit;        // file data bytes per second and connection
};

// Serves one release directory over the TCP update protocol. Every request is reported on one
// line through the line callback.
class UpdateServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateServer)

public:
    explicit UpdateServer(const ServerOptions &options, QObject *parent = nullptr);
    ~UpdateServer() override;

    [[nodiscard]] bool listen();
    [[nodiscard]] quint16 port() const;
    [[nodiscard]] QString errorString() const { return m_error; }

    // The files a version reply lists: every regular file below the root, sorted by path.
    [[nodiscard]] QList<FileItem> releaseFiles() const;

signals:
    void requestLogged(const QString &line);

private:
    void onNewConnection();

    ServerOptions m_options;
    QTcpServer *m_server = nullptr;
    QString m_error;
};
