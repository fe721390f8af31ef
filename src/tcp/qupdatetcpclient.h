#pragma once

#include "tcp/tcpconstants.h"
#include "tcp/tcpprotocol.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

#include <cstdint>

class AsyncWaiter;
class QTcpSocket;
class QTimer;

// The connection to the TCP update server: connects, keeps a heartbeat going, sends requests,
// cuts the received bytes into frames and stores incoming file chunks below the download
// directory. Everything it learns is reported through signals; checkVersion() and downloadFile()
// wait for their answer in a nested event loop.
class QUpdateTcpClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QUpdateTcpClient)

public:
    enum ConnectionState { Disconnected = 0, Connecting = 1, Connected = 2, Error = 3 };
    Q_ENUM(ConnectionState)

    explicit QUpdateTcpClient(QObject *parent = nullptr);
    ~QUpdateTcpClient() override;

    // Blocks the thread (no events) for at most timeoutMs; true when the connection stands.
    bool connectToServer(const QString &host, quint16 port, quint16 timeoutMs);
    bool connectToServer(const QString &host, quint16 port);
    void disconnectFromServer();
    [[nodiscard]] bool isConnected() const;
    [[nodiscard]] ConnectionState state() const { return m_state; }

    bool sendFrame(quint32 type, const QByteArray &payload);
    // Sends the request and waits up to timeoutMs for the reply; the empty VersionInfo on any failure.
    [[nodiscard]] VersionInfo checkVersion(const VersionCheckRequest &request, int timeoutMs);
    bool sendFileRequest(const FileItem &item);
    // Requests the file and waits until it has been stored completely (true) or the attempt failed:
    // an error from the connection or the server, a chunk that could not be stored, a size that
    // does not match, timeoutMs passed (0 or less: no overall limit), or no data for the file
    // arrived within the no-data limit.
    [[nodiscard]] bool downloadFile(const FileItem &item, int timeoutMs);
    // Ends a running downloadFile() at once with false and closes the connection: nothing more
    // of the file is read or written. Safe to call from a handler of this client's signals.
    void cancelDownload();
    // Closes the connection at once and forgets an unfinished transfer. Not from a handler of
    // this client's signals (use cancelDownload() there).
    void abortConnection();
    [[nodiscard]] QString lastError() const { return m_lastError; }

    // How long a download may go without receiving data for its file before it fails.
    void setNoDataTimeout(int ms) { m_noDataTimeoutMs = ms; }
    // A download that stores less than bytesPerSecond on average over windowMs fails as well.
    void setMinimumRate(qint64 bytesPerSecond, int windowMs)
    {
        m_minBytesPerSecond = bytesPerSecond;
        m_rateWindowMs = windowMs;
    }
    [[nodiscard]] int noDataTimeout() const { return m_noDataTimeoutMs; }
    void setHeartbeatInterval(int ms) { m_heartbeatInterval = ms; }

signals:
    void connected();
    void disconnected();
    void errorOccurred(QString error);
    void versionChecked(VersionInfo info);
    void sigFileDownloadProgress(QString filePath, QString fileName, uint32_t downloaded, uint32_t total);
    void sigFileDownloadCompleted(QString filePath, QString fileName);
    void sigFileDownloadError(QString filePath, QString fileName, QString error);
    void heartbeatReceived();
    // The transfer of a file ended (its last chunk arrived) but the file is not what the server
    // sent: a chunk could not be stored or the size differs. Ends a downloadFile() with false.
    void sigFileDownloadFailed(QString filePath, QString fileName, QString error);

private slots:
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void onReadyRead();
    void onHeartbeatTimeout();

private:
    void startHeartbeat();
    void stopHeartbeat();
    void reportNotConnected();
    // Handles every complete frame in the receive buffer and the socket; not re-entered.
    void handleAvailableFrames();
    // The end of a connection once the frames that came before it have been handled.
    void finishDisconnect();
    void handleFrame(const Frame &frame);
    void handleChunk(const FileChunk &chunk);
    void beginTransfer(const FileChunk &chunk);
    // The current transfer cannot succeed any more: its file is deleted and the rest of it is
    // read but not written. saveFailed: a chunk could not be stored, which sigFileDownloadError
    // reports at once.
    void failTransfer(const QString &error, bool saveFailed);
    void endTransfer();

    QTcpSocket *m_socket = nullptr;
    QTimer *m_heartbeatTimer = nullptr;
    ConnectionState m_state = Disconnected;
    QString m_lastError;
    QString m_host;
    quint16 m_port = 0;
    FrameReader m_receiveBuffer;
    bool m_heartbeatRunning = false;
    int m_heartbeatInterval = TcpProtocol::HeartbeatIntervalMs;
    int m_noDataTimeoutMs = TcpProtocol::NoDataTimeoutMs;
    qint64 m_minBytesPerSecond = TcpProtocol::MinBytesPerSecond;
    int m_rateWindowMs = TcpProtocol::RateWindowMs;

    // The file being received, while m_transferActive (a server may even send an empty name).
    bool m_transferActive = false;
    QString m_currentFilePath;
    QString m_currentFileName;
    quint32 m_currentFileSize = 0;
    quint32 m_receivedBytes = 0;   // sum of the chunks' chunkSize fields, for progress
    quint64 m_storedBytes = 0;     // data bytes really written, checked against the announced size
    bool m_transferFailed = false; // a chunk of this transfer could not be stored
    QString m_transferError;

    AsyncWaiter *m_downloadWaiter = nullptr; // the wait of the running downloadFile()
    bool m_cancelRequested = false;
    bool m_handlingFrames = false;    // inside handleAvailableFrames()
    bool m_disconnectPending = false; // the connection closed while frames were being handled
};
