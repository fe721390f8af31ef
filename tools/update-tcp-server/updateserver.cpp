#include "updateserver.h"

#include "fileops/filemanagermodel.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>
#include <memory>

using namespace TcpProtocol;

namespace {

// Stop reading files ahead once this much waits in the socket: memory stays flat for any size.
constexpr qint64 SendHighWater = 1024 * 1024;
// With a rate limit, sending resumes this often.
constexpr int RateTickMs = 10;
constexpr qint64 MsPerSecond = 1000;

// One file being sent.
struct Transfer
{
    FileItem item;
    std::unique_ptr<QFile> file;
    quint32 size = 0;
    quint32 announced = 0; // the size the chunks name (differs only as an injected fault)
    quint32 sent = 0;
};

// One client connection: its receive buffer, its queue of files to send and its fault counters.
class ServerConnection : public QObject
{
public:
    ServerConnection(QTcpSocket *socket, const ServerOptions &options, QHash<QString, int> *failures,
                     UpdateServer *server, std::function<QList<FileItem>()> listing)
        : QObject(socket)
        , m_socket(socket)
        , m_options(options)
        , m_failures(failures)
        , m_server(server)
        , m_listing(std::move(listing))
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    void log(const QString &line) { emit m_server->requestLogged(line); }

    void send(quint32 type, const QByteArray &payload)
    {
        m_socket->write(makeFrame(type, payload, 0));
    }

    void onReadyRead()
    {
        m_reader.append(m_socket->readAll());
        Frame frame;
        FrameReadStatus status;
        while ((status = m_reader.next(frame)) == FrameReadStatus::FrameReady)
            handle(frame);
        if (status == FrameReadStatus::Discarded)
            log(QStringLiteral("bad-frame dropped"));
    }

    void handle(const Frame &frame)
    {
        const QString silent = m_options.silent ? QStringLiteral(" (silent)") : QString();
        switch (frame.type) {
        case Heartbeat:
            log(QStringLiteral("heartbeat") + silent);
            if (!m_options.silent)
                send(HeartbeatReply, frame.payload);
            break;
        case VersionCheck:
            handleVersionCheck(frame.payload, silent);
            break;
        case FileDownload:
            handleFileRequest(frame.payload, silent);
            break;
        default:
            log(QStringLiteral("unknown type=%1").arg(frame.type) + silent);
            if (!m_options.silent)
                send(ServerError, QByteArray());
            break;
        }
    }

    void handleVersionCheck(const QByteArray &payload, const QString &silent)
    {
        const VersionCheckRequest request = parseVersionCheckRequest(payload);
        const bool hasUpdate = request.currentVersion != m_options.version;
        QList<QByteArray> entries;
        if (hasUpdate) {
            const QList<FileItem> files = m_listing();
            for (const FileItem &item : files)
                entries.append(makeFileEntry(item));
        }
        log(QStringLiteral("version-check client=%1 project=%2 update=%3 files=%4")
                .arg(request.currentVersion, QString::number(request.projectType),
                     QString::number(hasUpdate ? 1 : 0), QString::number(entries.size()))
            + silent);
        if (!m_options.silent)
            send(VersionCheckReply, makeVersionReply(hasUpdate, m_options.version, request.projectType, entries));
    }

    // The file below the root that item names, or an empty string when it would leave the root.
    QString resolve(const FileItem &item) const
    {
        if (!CFileManager::isSafeTarget(item.filePath, item.fileName) || item.filePath.contains(QLatin1Char('\\')))
            return QString();
        const QString root = QFileInfo(m_options.root).canonicalFilePath();
        const QString relative = item.filePath.isEmpty() ? item.fileName : item.filePath + QLatin1Char('/') + item.fileName;
        const QString canonical = QFileInfo(root + QLatin1Char('/') + relative).canonicalFilePath();
        if (canonical.isEmpty() || !canonical.startsWith(root + QLatin1Char('/')))
            return QString();
        return canonical;
    }

    void handleFileRequest(const QByteArray &payload, const QString &silent)
    {
        const FileItem item = parseFileDownloadRequest(payload);
        const QString relative = item.filePath.isEmpty() ? item.fileName : item.filePath + QLatin1Char('/') + item.fileName;
        const QString prefix = QStringLiteral("file ") + relative + QLatin1Char(' ');
        if (m_options.silent) {
            log(prefix + QStringLiteral("ignored") + silent);
            return;
        }
        for (const QString &key : {item.fileName, relative}) {
            auto it = m_failures->find(key);
            if (it != m_failures->end() && it.value() != 0) {
                if (it.value() > 0)
                    --it.value();
                log(prefix + QStringLiteral("error (injected)"));
                send(ServerError, QByteArray());
                return;
            }
        }
        const QString path = resolve(item);
        if (path.isEmpty()) {
            log(prefix + QStringLiteral("error (refused or missing)"));
            send(ServerError, QByteArray());
            return;
        }
        auto file = std::make_unique<QFile>(path);
        const QFileInfo info(path);
        if (!info.isFile() || info.size() > std::numeric_limits<quint32>::max() || !file->open(QIODevice::ReadOnly)) {
            log(prefix + QStringLiteral("error (unreadable)"));
            send(ServerError, QByteArray());
            return;
        }
        Transfer transfer;
        transfer.item = item;
        transfer.size = static_cast<quint32>(info.size());
        transfer.file = std::move(file);
        transfer.announced = transfer.size;
        if (m_options.wrongSize.contains(item.fileName) || m_options.wrongSize.contains(relative))
            ++transfer.announced;
        log(prefix + QStringLiteral("ok size=%1").arg(transfer.size)
            + (transfer.announced != transfer.size ? QStringLiteral(" announced=%1").arg(transfer.announced) : QString()));
        m_queue.push_back(std::move(transfer));
        pump();
    }

    // Sends chunks while the socket has room, so a large file is never read into memory whole.
    void pump()
    {
        while (!m_closing && !m_queue.empty() && m_socket->bytesToWrite() < SendHighWater) {
            Transfer &transfer = m_queue.front();
            if (m_options.rate > 0) {
                // Whole chunks, each once the rate allows all of it.
                if (!m_clock.isValid())
                    m_clock.start();
                const qint64 wanted = qMin<qint64>(m_options.chunkSize, transfer.size - transfer.sent);
                if (m_options.rate * m_clock.elapsed() / MsPerSecond - m_dataSent < wanted) {
                    if (!m_pumpScheduled) {
                        m_pumpScheduled = true;
                        QTimer::singleShot(RateTickMs, this, [this] {
                            m_pumpScheduled = false;
                            pump();
                        });
                    }
                    return;
                }
            }
            const QByteArray data = transfer.file->read(m_options.chunkSize);
            if (data.isEmpty() && transfer.sent < transfer.size) {
                // The file shrank or cannot be read any more: stop this transfer with an error.
                log(QStringLiteral("file %1 error (read failed)").arg(transfer.item.fileName));
                send(ServerError, QByteArray());
                m_queue.pop_front();
                continue;
            }
            const quint32 count = static_cast<quint32>(data.size());
            const bool isLast = transfer.sent + count >= transfer.size;
            send(FileData, makeFileDataHeader(transfer.item, transfer.announced, count, isLast) + data);
            transfer.sent += count;
            m_dataSent += count;
            if (isLast)
                m_queue.pop_front();
            if (m_options.closeAfter >= 0 && m_dataSent >= m_options.closeAfter) {
                log(QStringLiteral("close after %1 bytes").arg(m_dataSent));
                m_closing = true;
                m_socket->disconnectFromHost();
            }
        }
    }

    QTcpSocket *m_socket;
    const ServerOptions &m_options;
    QHash<QString, int> *m_failures;
    UpdateServer *m_server;
    std::function<QList<FileItem>()> m_listing;
    FrameReader m_reader;
    std::deque<Transfer> m_queue;
    qint64 m_dataSent = 0;
    bool m_closing = false;
    QElapsedTimer m_clock; // since the first file data, for the rate limit
    bool m_pumpScheduled = false;
};

} // namespace

UpdateServer::UpdateServer(const ServerOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &UpdateServer::onNewConnection);
}

UpdateServer::~UpdateServer() = default;

bool UpdateServer::listen()
{
    if (!m_server->listen(m_options.host, m_options.port)) {
        m_error = m_server->errorString();
        return false;
    }
    return true;
}

quint16 UpdateServer::port() const
{
    return m_server->serverPort();
}

QList<FileItem> UpdateServer::releaseFiles() const
{
    QList<FileItem> files;
    const QString rootPath = QFileInfo(m_options.root).absoluteFilePath();
    const QDir root(rootPath);
    QStringList relatives;
    QDirIterator it(rootPath, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        relatives.append(root.relativeFilePath(it.next()));
    relatives.sort();
    for (const QString &relative : qAsConst(relatives)) {
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        FileItem item{slash < 0 ? QString() : relative.left(slash), relative.mid(slash + 1)};
        // Names that do not fit their fields would be cut and could never be requested back.
        if (item.filePath.toUtf8().size() >= PathFieldWidth || item.fileName.toUtf8().size() >= NameFieldWidth) {
            qWarning("skipping %s: name too long for the protocol", qPrintable(relative));
            continue;
        }
        files.append(item);
    }
    return files;
}

void UpdateServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        new ServerConnection(socket, m_options, &m_options.failures, this, [this] { return releaseFiles(); });
    }
}
