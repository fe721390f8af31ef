#include "tcp/qupdatetcpclient.h"

#include "app/logging.h"
#include "config/systemconfig.h"
#include "fileops/filemanagermodel.h"
#include "fileops/transferwatchdog.h"
#include "tcp/asyncwaiter.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

using namespace TcpProtocol;

namespace {

const char *const kNotConnected = "未连接到服务器";
const char *const kAlreadyConnecting = "已经连接或正在连接中";
const char *const kSendVersionFailed = "发送版本检查请求失败";
const char *const kSendFileFailed = "发送文件下载请求失败";
const char *const kServerError = "服务器返回错误";
const char *const kDownloadTimeout = "文件下载超时";
const char *const kDownloadTimeoutShort = "下载超时";
const char *const kUnreadableVersionReply = "版本检查回复无法解析";

QString tr8(const char *text)
{
    return QString::fromUtf8(text);
}

// Whole percent of part in total without 32-bit overflow, never above 100 (a server can name
// more bytes than it announced); an empty file is complete at once.
quint64 percentOf(quint64 part, quint64 total)
{
    return total == 0 ? quint64(PercentScale) : qMin<quint64>(part * PercentScale / total, PercentScale);
}

} // namespace

QUpdateTcpClient::QUpdateTcpClient(QObject *parent)
    : QObject(parent)
    , m_socket(new QTcpSocket(this))
    , m_heartbeatTimer(new QTimer(this))
{
    qRegisterMetaType<VersionInfo>("VersionInfo");
    qRegisterMetaType<uint32_t>("uint32_t");
    m_socket->setReadBufferSize(SocketReadBufferSize);
    connect(m_socket, &QTcpSocket::connected, this, &QUpdateTcpClient::onConnected);
    connect(m_socket, &QTcpSocket::disconnected, this, &QUpdateTcpClient::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &QUpdateTcpClient::onError);
    connect(m_socket, &QTcpSocket::readyRead, this, &QUpdateTcpClient::onReadyRead);
    connect(m_heartbeatTimer, &QTimer::timeout, this, &QUpdateTcpClient::onHeartbeatTimeout);
}

QUpdateTcpClient::~QUpdateTcpClient()
{
    stopHeartbeat();
    // No signals towards owners that are being torn down with us.
    m_socket->disconnect(this);
    disconnectFromServer();
}

bool QUpdateTcpClient::connectToServer(const QString &host, quint16 port)
{
    return connectToServer(host, port, ConnectTimeoutMs);
}

bool QUpdateTcpClient::connectToServer(const QString &host, quint16 port, quint16 timeoutMs)
{
    if (m_state == Connecting || m_state == Connected) {
        m_lastError = tr8(kAlreadyConnecting);
        return false;
    }
    m_host = host;
    m_port = port;
    m_state = Connecting;
    m_receiveBuffer.clear();
    m_socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    const bool ok = m_socket->waitForConnected(timeoutMs);
    if (!ok && m_state == Connecting) {
        // The attempt ended without an error signal (for instance a host lookup that timed out):
        // leave a state from which a new attempt is accepted.
        m_socket->abort();
        m_lastError = m_socket->errorString();
        m_state = Error;
    }
    return ok;
}

void QUpdateTcpClient::disconnectFromServer()
{
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->disconnectFromHost();
    m_state = Disconnected;
}

bool QUpdateTcpClient::isConnected() const
{
    return m_state == Connected && m_socket->state() == QAbstractSocket::ConnectedState;
}

void QUpdateTcpClient::onConnected()
{
    m_state = Connected;
    emit connected();
    startHeartbeat();
}

void QUpdateTcpClient::onDisconnected()
{
    m_state = Disconnected;
    stopHeartbeat();
    // The frames being handled, and those behind them in the buffers, arrived before the close:
    // they are handled first. A window that processes events while a frame is handled brings
    // this signal in the middle of it.
    if (m_handlingFrames) {
        m_disconnectPending = true;
        return;
    }
    finishDisconnect();
}

void QUpdateTcpClient::finishDisconnect()
{
    handleAvailableFrames();
    // Nothing more of an unfinished file can arrive on this connection: close it.
    if (m_transferActive)
        endTransfer();
    emit disconnected();
}

void QUpdateTcpClient::onError(QAbstractSocket::SocketError error)
{
    Q_UNUSED(error)
    m_lastError = m_socket->errorString();
    m_state = Error;
    emit errorOccurred(m_lastError);
}

void QUpdateTcpClient::startHeartbeat()
{
    if (m_heartbeatRunning)
        return;
    m_heartbeatRunning = true;
    m_heartbeatTimer->start(m_heartbeatInterval);
}

void QUpdateTcpClient::stopHeartbeat()
{
    if (!m_heartbeatRunning)
        return;
    m_heartbeatRunning = false;
    m_heartbeatTimer->stop();
}

void QUpdateTcpClient::onHeartbeatTimeout()
{
    if (m_state != Connected)
        return;
    QByteArray payload(HeartbeatPayloadSize, '\0');
    qToLittleEndian<qint64>(QDateTime::currentMSecsSinceEpoch(), payload.data());
    sendFrame(Heartbeat, payload);
}

bool QUpdateTcpClient::sendFrame(quint32 type, const QByteArray &payload)
{
    if (!isConnected())
        return false;
    FrameHeader header;
    header.length = static_cast<quint32>(payload.size());
    header.type = type;
    header.projectType = static_cast<quint32>(CSystemConfig::instance().projectType());
    if (m_socket->write(header.toBytes()) != FrameHeaderSize)
        return false;
    if (!payload.isEmpty() && m_socket->write(payload) != payload.size())
        return false;
    return m_socket->flush();
}

void QUpdateTcpClient::reportNotConnected()
{
    m_lastError = tr8(kNotConnected);
    emit errorOccurred(m_lastError);
}

VersionInfo QUpdateTcpClient::checkVersion(const VersionCheckRequest &request, int timeoutMs)
{
    if (!isConnected()) {
        reportNotConnected();
        return VersionInfo();
    }
    VersionInfo result;
    AsyncWaiter waiter;
    // Context objects are the waiter: the connections end with this call on every path.
    connect(this, &QUpdateTcpClient::versionChecked, &waiter, [&result, &waiter](const VersionInfo &info) {
        result = info;
        emit waiter.signalReceived();
    });
    connect(this, &QUpdateTcpClient::errorOccurred, &waiter, &AsyncWaiter::signalReceived);

    if (!sendFrame(VersionCheck, request.toBytes())) {
        m_lastError = tr8(kSendVersionFailed);
        emit errorOccurred(m_lastError);
        return VersionInfo();
    }
    if (!waiter.wait(timeoutMs))
        return VersionInfo();
    return result;
}

bool QUpdateTcpClient::sendFileRequest(const FileItem &item)
{
    if (!isConnected()) {
        reportNotConnected();
        return false;
    }
    // A new request starts the file afresh: whatever an earlier, failed attempt left current
    // (an open file, counted bytes) must not mix with the bytes of this transfer.
    if (m_transferActive)
        endTransfer();
    if (!sendFrame(FileDownload, makeFileDownloadRequest(item))) {
        m_lastError = tr8(kSendFileFailed);
        emit errorOccurred(m_lastError);
        return false;
    }
    return true;
}

bool QUpdateTcpClient::downloadFile(const FileItem &item, int timeoutMs)
{
    if (!isConnected()) {
        reportNotConnected();
        return false;
    }
    const QString filePath = item.filePath;
    const QString fileName = item.fileName;
    bool success = false;
    bool stalled = false;
    // The first event that ends the wait decides the outcome: a time-out whose timer fires in the
    // same round of the event loop as the file's failure does not replace the failure's reason.
    // Only the file's completion overrides what came before it: a file whose last chunk arrived
    // whole counts, even when the connection was lost or the clock ran out while it was stored.
    bool decided = false;
    QString stallReason;
    TransferWatchdog watchdog({m_noDataTimeoutMs, m_minBytesPerSecond, m_rateWindowMs});
    AsyncWaiter waiter;

    connect(this, &QUpdateTcpClient::sigFileDownloadCompleted, &waiter,
            [&](const QString &p, const QString &n) {
                if (p == filePath && n == fileName) {
                    decided = true;
                    success = true;
                    emit waiter.signalReceived();
                }
            });
    connect(this, &QUpdateTcpClient::errorOccurred, &waiter, [&]() {
        if (!decided) {
            decided = true;
            emit waiter.signalReceived();
        }
    });
    connect(this, &QUpdateTcpClient::sigFileDownloadFailed, &waiter, [&](const QString &, const QString &n) {
        if (!decided && n == fileName) {
            decided = true;
            emit waiter.signalReceived();
        }
    });
    // Only bytes of this file that were stored count as life: empty chunks, or chunks that name
    // sizes they do not carry, keep nothing alive.
    connect(this, &QUpdateTcpClient::sigFileDownloadProgress, &waiter,
            [&](const QString &, const QString &n, uint32_t, uint32_t) {
                if (n == fileName && m_transferActive && m_currentFileName == fileName)
                    watchdog.setBytes(static_cast<qint64>(m_storedBytes));
            });
    connect(&watchdog, &TransferWatchdog::timedOut, &waiter, [&](TransferWatchdog::Reason reason) {
        if (decided)
            return;
        decided = true;
        stalled = true;
        stallReason = watchdog.describe(reason);
        emit waiter.signalReceived();
    });

    if (!sendFileRequest(item))
        return false;
    watchdog.start();
    m_cancelRequested = false;
    m_downloadWaiter = &waiter;
    const bool ended = waiter.wait(timeoutMs);
    m_downloadWaiter = nullptr;
    watchdog.stop();

    if (m_cancelRequested) {
        m_cancelRequested = false;
        abortConnection();
        return false;
    }

    if (!success && (!ended || stalled)) {
        m_lastError = tr8(kDownloadTimeout);
        logError(QStringLiteral("文件下载超时: %1 (%2)").arg(fileName, stalled ? stallReason : QStringLiteral("超过总时限")));
        // What was received of the file is dropped; the next attempt starts it afresh.
        if (m_transferActive && m_currentFileName == fileName)
            endTransfer();
        CFileManager::instance().deleteFile(filePath, fileName);
        emit sigFileDownloadError(filePath, fileName, tr8(kDownloadTimeoutShort));
    }
    return success;
}

void QUpdateTcpClient::cancelDownload()
{
    if (!m_downloadWaiter)
        return;
    // The socket is closed once the wait has ended, outside the frame handling that may be
    // running further up the stack.
    m_cancelRequested = true;
    emit m_downloadWaiter->signalReceived();
}

void QUpdateTcpClient::abortConnection()
{
    stopHeartbeat();
    if (m_transferActive)
        endTransfer();
    m_receiveBuffer.clear();
    m_disconnectPending = false;
    m_socket->abort();
    m_state = Disconnected;
}

void QUpdateTcpClient::onReadyRead()
{
    handleAvailableFrames();
    if (m_disconnectPending && !m_handlingFrames) {
        m_disconnectPending = false;
        finishDisconnect();
    }
}

void QUpdateTcpClient::handleAvailableFrames()
{
    if (m_handlingFrames)
        return;
    m_handlingFrames = true;
    // Data that arrives while a frame is handled (handlers may process events) does not raise a
    // second readyRead, so keep reading until the socket is empty. Frames already taken off the
    // socket are handled even when it has been closed meanwhile.
    Frame frame;
    while (!m_cancelRequested) {
        if (m_receiveBuffer.next(frame) == FrameReadStatus::FrameReady) {
            handleFrame(frame);
            continue;
        }
        if (m_socket->bytesAvailable() <= 0 || m_receiveBuffer.readFrom(*m_socket) <= 0)
            break;
    }
    m_handlingFrames = false;
}

void QUpdateTcpClient::handleFrame(const Frame &frame)
{
    switch (frame.type) {
    case HeartbeatReply:
        emit heartbeatReceived();
        break;
    case VersionCheckReply:
        // A reply too short to hold its header is not an answer: taken as the empty reply it
        // would read as "no update".
        if (frame.payload.size() < VersionReplyHeaderSize) {
            m_lastError = tr8(kUnreadableVersionReply);
            logError(QStringLiteral("%1 (%2 字节)").arg(m_lastError, QString::number(frame.payload.size())));
            emit errorOccurred(m_lastError);
            break;
        }
        emit versionChecked(parseVersionReply(frame.payload));
        break;
    case FileData:
        handleChunk(parseFileChunk(frame.payload));
        break;
    case ServerError:
        m_lastError = tr8(kServerError);
        emit errorOccurred(m_lastError);
        break;
    default:
        break;
    }
}

void QUpdateTcpClient::beginTransfer(const FileChunk &chunk)
{
    if (m_transferActive)
        endTransfer();
    m_transferActive = true;
    m_currentFilePath = chunk.filePath;
    m_currentFileName = chunk.fileName;
    m_currentFileSize = chunk.fileSize;
    m_receivedBytes = 0;
    m_storedBytes = 0;
    m_transferFailed = false;
    m_transferError.clear();
    logInfo(QStringLiteral("开始接收文件传输: %1 (大小: %2 字节)").arg(m_currentFileName, QString::number(m_currentFileSize)));
    emit sigFileDownloadProgress(m_currentFilePath, m_currentFileName, 0, m_currentFileSize);
}

void QUpdateTcpClient::endTransfer()
{
    // An unfinished file is closed so that its next transfer starts it from the first byte.
    CFileManager::instance().discardFile(m_currentFilePath, m_currentFileName);
    m_transferActive = false;
    m_currentFilePath.clear();
    m_currentFileName.clear();
    m_currentFileSize = 0;
    m_receivedBytes = 0;
    m_storedBytes = 0;
    m_transferFailed = false;
    m_transferError.clear();
}

void QUpdateTcpClient::failTransfer(const QString &error, bool saveFailed)
{
    m_transferFailed = true;
    m_transferError = error;
    m_lastError = error;
    logError(error);
    // What was written of the file is useless; it goes at once.
    CFileManager::instance().deleteFile(m_currentFilePath, m_currentFileName);
    // A chunk that could not be stored is reported as it happens; the end of the transfer (its
    // last chunk, or a size beyond the announced one) through sigFileDownloadFailed alone.
    if (saveFailed)
        emit sigFileDownloadError(m_currentFilePath, m_currentFileName, error);
}

void QUpdateTcpClient::handleChunk(const FileChunk &chunk)
{
    if (!m_transferActive || m_currentFileName != chunk.fileName)
        beginTransfer(chunk);

    logInfo(QStringLiteral("收到文件数据块: %1 (大小: %2, 是否结束: %3)")
                .arg(m_currentFileName, QString::number(chunk.chunkSize),
                     chunk.isLast ? QStringLiteral("是") : QStringLiteral("否")));

    const QString path = m_currentFilePath;
    const QString name = m_currentFileName;
    // More bytes than the file was announced with: the server is broken or hostile, and nothing
    // it sends for this file is written any more (it could fill the disk otherwise).
    if (!m_transferFailed && m_storedBytes + static_cast<quint64>(chunk.data.size()) > m_currentFileSize) {
        failTransfer(QStringLiteral("文件数据超出声明的大小: %1/%2 (已超过 %3 字节)")
                         .arg(path, name, QString::number(m_currentFileSize)),
                     false);
        emit sigFileDownloadFailed(path, name, m_transferError);
        return;
    }
    // Once a chunk is lost the file cannot become whole again: the rest of this transfer is
    // read off the connection but not written.
    if (!m_transferFailed) {
        QString reason;
        bool saved = false;
        if (!CFileManager::isSafeTarget(path, name, &reason)) {
            logError(QStringLiteral("拒绝写入下载目录之外的文件: %1/%2 (%3)").arg(path, name, reason));
        } else {
            saved = CFileManager::instance().SaveFileData(path, name, chunk.data, chunk.isLast);
        }
        if (saved) {
            m_receivedBytes += chunk.chunkSize;
            m_storedBytes += static_cast<quint64>(chunk.data.size());
            logInfo(QStringLiteral("文件传输进度: %1 (%2/%3 字节, %4%)")
                        .arg(name, QString::number(m_receivedBytes), QString::number(m_currentFileSize),
                             QString::number(percentOf(m_receivedBytes, m_currentFileSize))));
            emit sigFileDownloadProgress(path, name, m_receivedBytes, m_currentFileSize);
        } else {
            logError(QStringLiteral("保存文件数据失败: %1/%2").arg(path, name));
            failTransfer(QStringLiteral("Failed to save file data: %1/%2").arg(path, name), true);
        }
    }

    if (!chunk.isLast)
        return;
    if (!m_transferFailed && m_storedBytes != m_currentFileSize) {
        failTransfer(QStringLiteral("文件大小不符: %1/%2 (收到 %3 字节, 应为 %4 字节)")
                         .arg(path, name, QString::number(m_storedBytes), QString::number(m_currentFileSize)),
                     false);
    }
    if (m_transferFailed) {
        const QString error = m_transferError;
        endTransfer();
        emit sigFileDownloadFailed(path, name, error);
        return;
    }
    logInfo(QStringLiteral("文件传输完成: %1").arg(name));
    endTransfer();
    emit sigFileDownloadCompleted(path, name);
}
