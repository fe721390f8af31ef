#pragma once

#include "tcp/tcpconstants.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>

class QIODevice;
#include <QString>

// Records of the TCP update protocol. Every record is written and read byte by byte at fixed
// offsets (little-endian), never by casting memory to a struct, so the code does not depend on
// the host's byte order, alignment or the compiler's packing.

// The 20 bytes in front of every payload.
struct FrameHeader
{
    quint32 magic = TcpProtocol::Magic;
    quint32 length = 0;
    quint32 type = 0;
    quint32 projectType = 0;
    quint32 reserved = 0;

    [[nodiscard]] QByteArray toBytes() const;
    // data must hold at least FrameHeaderSize bytes.
    [[nodiscard]] static FrameHeader fromBytes(const char *data);
};

// Payload of a VersionCheck frame.
struct VersionCheckRequest
{
    QString currentVersion;
    QString clientId;
    qint32 projectType = 0;

    // The 84 bytes on the wire; texts are cut at 31 bytes.
    [[nodiscard]] QByteArray toBytes() const;
};

// One file to download: its directory relative to the download directory and its name.
struct FileItem
{
    QString filePath;
    QString fileName;

    bool operator==(const FileItem &other) const
    {
        return filePath == other.filePath && fileName == other.fileName;
    }
};

// The parsed version check reply; the default value is what a failed check yields.
struct VersionInfo
{
    bool hasUpdate = false;
    QString version;
    QString productName;
    QList<QByteArray> files; // raw FileEntry records of FileEntrySize bytes, in reply order
};

// One parsed FileData payload.
struct FileChunk
{
    QString filePath;
    QString fileName;
    quint32 fileSize = 0;
    quint32 chunkSize = 0;
    bool isLast = false;
    quint32 auxValue = 0;
    QByteArray data;
};

Q_DECLARE_METATYPE(VersionInfo)

// Text fields: NUL-terminated UTF-8 of a fixed width.
void writeTextField(QByteArray &record, int offset, int width, const QString &text);
[[nodiscard]] QString readTextField(const QByteArray &record, int offset, int width);

[[nodiscard]] QByteArray makeFrame(quint32 type, const QByteArray &payload, quint32 projectType);
[[nodiscard]] VersionCheckRequest makeVersionCheckRequest(const QString &currentVersion, int projectType,
                                                          const QString &clientId);
[[nodiscard]] QByteArray makeFileDownloadRequest(const FileItem &item);
[[nodiscard]] VersionInfo parseVersionReply(const QByteArray &payload);
[[nodiscard]] FileChunk parseFileChunk(const QByteArray &payload);
[[nodiscard]] QString productName(quint32 type);

// The file named by a raw FileEntry record of a version reply.
[[nodiscard]] FileItem fileItemFromEntry(const QByteArray &entry);

// The server's side of the records, used by our update server and by tests.
[[nodiscard]] VersionCheckRequest parseVersionCheckRequest(const QByteArray &payload);
[[nodiscard]] FileItem parseFileDownloadRequest(const QByteArray &payload);
[[nodiscard]] QByteArray makeFileEntry(const FileItem &item);
[[nodiscard]] QByteArray makeVersionReply(bool hasUpdate, const QString &version, qint32 productType,
                                          const QList<QByteArray> &entries);
[[nodiscard]] QByteArray makeFileDataHeader(const FileItem &item, quint32 fileSize, quint32 chunkSize,
                                            bool isLast, quint32 auxValue = 0);

// A complete frame taken off the receive buffer.
struct Frame
{
    quint32 type = 0;
    quint32 projectType = 0;
    QByteArray payload;
};

enum class FrameReadStatus {
    NeedMore,   // no complete frame at the front; the bytes stay
    FrameReady, // one frame was taken off the front
    Discarded,  // the front was not a frame (wrong magic or oversized length): the buffer was emptied
};

// Cuts received bytes into frames. Bytes are appended as they arrive and complete frames are taken
// off the front one at a time; consumed bytes are dropped in one go when the reader runs dry, so a
// read holding many frames costs one move, not one per frame. No socket involved.
class FrameReader
{
public:
    explicit FrameReader(int reserve = TcpProtocol::ReceiveBufferReserve);

    void append(const QByteArray &bytes);
    // Appends everything device has available, read straight into the buffer (no temporary
    // array per read). Returns the number of bytes read, -1 on a read error.
    qint64 readFrom(QIODevice &device);
    [[nodiscard]] FrameReadStatus next(Frame &frame);
    void clear();
    // Bytes received and not yet taken as frames.
    [[nodiscard]] qsizetype pendingBytes() const { return m_buffer.size() - m_offset; }

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0;
};
