#include "tcp/tcpprotocol.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <cstring>

using namespace TcpProtocol;

namespace {

void putU32(QByteArray &record, int offset, quint32 value)
{
    qToLittleEndian(value, record.data() + offset);
}

quint32 getU32(const char *data, int offset)
{
    return qFromLittleEndian<quint32>(data + offset);
}

} // namespace

void writeTextField(QByteArray &record, int offset, int width, const QString &text)
{
    Q_ASSERT(offset + width <= record.size());
    const QByteArray utf8 = text.toUtf8();
    // Cut byte-wise, even inside a multi-byte character: the field always keeps a closing NUL.
    const int count = std::min<int>(utf8.size(), width - 1);
    std::memset(record.data() + offset, 0, static_cast<size_t>(width));
    std::memcpy(record.data() + offset, utf8.constData(), static_cast<size_t>(count));
}

QString readTextField(const QByteArray &record, int offset, int width)
{
    if (offset >= record.size())
        return QString();
    const int available = std::min(width, static_cast<int>(record.size()) - offset);
    const char *begin = record.constData() + offset;
    const char *nul = static_cast<const char *>(std::memchr(begin, 0, static_cast<size_t>(available)));
    const int length = nul ? static_cast<int>(nul - begin) : available;
    return QString::fromUtf8(begin, length);
}

QByteArray FrameHeader::toBytes() const
{
    QByteArray bytes(FrameHeaderSize, '\0');
    putU32(bytes, HeaderMagicOffset, magic);
    putU32(bytes, HeaderLengthOffset, length);
    putU32(bytes, HeaderTypeOffset, type);
    putU32(bytes, HeaderProjectTypeOffset, projectType);
    putU32(bytes, HeaderReservedOffset, reserved);
    return bytes;
}

FrameHeader FrameHeader::fromBytes(const char *data)
{
    FrameHeader header;
    header.magic = getU32(data, HeaderMagicOffset);
    header.length = getU32(data, HeaderLengthOffset);
    header.type = getU32(data, HeaderTypeOffset);
    header.projectType = getU32(data, HeaderProjectTypeOffset);
    header.reserved = getU32(data, HeaderReservedOffset);
    return header;
}

QByteArray VersionCheckRequest::toBytes() const
{
    QByteArray bytes(VersionCheckRequestSize, '\0');
    writeTextField(bytes, RequestVersionOffset, VersionFieldWidth, currentVersion);
    writeTextField(bytes, RequestClientIdOffset, ClientIdFieldWidth, clientId);
    putU32(bytes, RequestProjectTypeOffset, static_cast<quint32>(projectType));
    return bytes;
}

QByteArray makeFrame(quint32 type, const QByteArray &payload, quint32 projectType)
{
    FrameHeader header;
    header.length = static_cast<quint32>(payload.size());
    header.type = type;
    header.projectType = projectType;
    QByteArray frame = header.toBytes();
    frame.append(payload);
    return frame;
}

VersionCheckRequest makeVersionCheckRequest(const QString &currentVersion, int projectType, const QString &clientId)
{
    VersionCheckRequest request;
    request.currentVersion = currentVersion;
    request.clientId = clientId.isEmpty() ? QString::fromLatin1(DefaultClientId) : clientId;
    request.projectType = projectType;
    return request;
}

QByteArray makeFileDownloadRequest(const FileItem &item)
{
    QByteArray bytes(FileDownloadRequestSize, '\0');
    writeTextField(bytes, FileRequestPathOffset, PathFieldWidth, item.filePath);
    writeTextField(bytes, FileRequestNameOffset, NameFieldWidth, item.fileName);
    return bytes;
}

VersionInfo parseVersionReply(const QByteArray &payload)
{
    VersionInfo info;
    if (payload.size() < VersionReplyHeaderSize)
        return info;
    info.hasUpdate = payload.at(ReplyHasUpdateOffset) != '\0';
    info.version = readTextField(payload, ReplyVersionOffset, VersionFieldWidth);
    info.productName = productName(getU32(payload.constData(), ReplyProductTypeOffset));
    const quint32 fileCount = getU32(payload.constData(), ReplyFileCountOffset);
    // Only entries the payload really holds: a count larger than the data cannot make us read on.
    const qsizetype present = (payload.size() - VersionReplyHeaderSize) / FileEntrySize;
    const qsizetype count = std::min<qsizetype>(present, fileCount);
    info.files.reserve(static_cast<int>(count));
    for (qsizetype i = 0; i < count; ++i)
        info.files.append(payload.mid(static_cast<int>(VersionReplyHeaderSize + i * FileEntrySize), FileEntrySize));
    return info;
}

FileChunk parseFileChunk(const QByteArray &payload)
{
    FileChunk chunk;
    if (payload.size() < FileDataHeaderSize)
        return chunk;
    const char *data = payload.constData();
    chunk.filePath = readTextField(payload, ChunkPathOffset, PathFieldWidth);
    chunk.fileName = readTextField(payload, ChunkNameOffset, NameFieldWidth);
    chunk.fileSize = getU32(data, ChunkFileSizeOffset);
    chunk.chunkSize = getU32(data, ChunkSizeOffset);
    chunk.isLast = payload.at(ChunkIsLastOffset) != '\0';
    chunk.auxValue = getU32(data, ChunkAuxValueOffset);
    chunk.data = payload.mid(FileDataHeaderSize);
    return chunk;
}

QString productName(quint32 type)
{
    static const char *const names[] = {"Morvene", "Tallowick", "Ostrevalle", "Cindravel", "Quenmorrow", "Halvispire"};
    constexpr quint32 count = sizeof(names) / sizeof(names[0]);
    if (type >= 1 && type <= count)
        return QString::fromLatin1(names[type - 1]);
    return QStringLiteral("Unknown");
}

FileItem fileItemFromEntry(const QByteArray &entry)
{
    return FileItem{readTextField(entry, EntryPathOffset, PathFieldWidth),
                    readTextField(entry, EntryNameOffset, NameFieldWidth)};
}

VersionCheckRequest parseVersionCheckRequest(const QByteArray &payload)
{
    VersionCheckRequest request;
    request.currentVersion = readTextField(payload, RequestVersionOffset, VersionFieldWidth);
    request.clientId = readTextField(payload, RequestClientIdOffset, ClientIdFieldWidth);
    if (payload.size() >= RequestProjectTypeOffset + 4)
        request.projectType = static_cast<qint32>(getU32(payload.constData(), RequestProjectTypeOffset));
    return request;
}

FileItem parseFileDownloadRequest(const QByteArray &payload)
{
    return FileItem{readTextField(payload, FileRequestPathOffset, PathFieldWidth),
                    readTextField(payload, FileRequestNameOffset, NameFieldWidth)};
}

QByteArray makeFileEntry(const FileItem &item)
{
    QByteArray bytes(FileEntrySize, '\0');
    writeTextField(bytes, EntryPathOffset, PathFieldWidth, item.filePath);
    writeTextField(bytes, EntryNameOffset, NameFieldWidth, item.fileName);
    return bytes;
}

QByteArray makeVersionReply(bool hasUpdate, const QString &version, qint32 productType,
                            const QList<QByteArray> &entries)
{
    QByteArray bytes(VersionReplyHeaderSize, '\0');
    bytes[ReplyHasUpdateOffset] = hasUpdate ? 1 : 0;
    writeTextField(bytes, ReplyVersionOffset, VersionFieldWidth, version);
    putU32(bytes, ReplyProductTypeOffset, static_cast<quint32>(productType));
    putU32(bytes, ReplyFileCountOffset, static_cast<quint32>(entries.size()));
    for (const QByteArray &entry : entries)
        bytes.append(entry.left(FileEntrySize).leftJustified(FileEntrySize, '\0'));
    return bytes;
}

QByteArray makeFileDataHeader(const FileItem &item, quint32 fileSize, quint32 chunkSize, bool isLast, quint32 auxValue)
{
    QByteArray bytes(FileDataHeaderSize, '\0');
    writeTextField(bytes, ChunkPathOffset, PathFieldWidth, item.filePath);
    writeTextField(bytes, ChunkNameOffset, NameFieldWidth, item.fileName);
    putU32(bytes, ChunkFileSizeOffset, fileSize);
    putU32(bytes, ChunkSizeOffset, chunkSize);
    bytes[ChunkIsLastOffset] = isLast ? 1 : 0;
    putU32(bytes, ChunkAuxValueOffset, auxValue);
    return bytes;
}

FrameReader::FrameReader(int reserve)
{
    m_buffer.reserve(reserve);
}

void FrameReader::append(const QByteArray &bytes)
{
    m_buffer.append(bytes);
}

qint64 FrameReader::readFrom(QIODevice &device)
{
    const qint64 available = device.bytesAvailable();
    if (available <= 0)
        return 0;
    const int oldSize = static_cast<int>(m_buffer.size());
    m_buffer.resize(oldSize + static_cast<int>(available));
    const qint64 got = device.read(m_buffer.data() + oldSize, available);
    m_buffer.resize(oldSize + static_cast<int>(qMax<qint64>(got, 0)));
    return got;
}

void FrameReader::clear()
{
    m_buffer.clear();
    m_offset = 0;
}

FrameReadStatus FrameReader::next(Frame &frame)
{
    const qsizetype available = m_buffer.size() - m_offset;
    if (available < FrameHeaderSize) {
        if (m_offset > 0) {
            m_buffer.remove(0, static_cast<int>(m_offset));
            m_offset = 0;
        }
        return FrameReadStatus::NeedMore;
    }
    const FrameHeader header = FrameHeader::fromBytes(m_buffer.constData() + m_offset);
    // No search for the next magic: whatever follows a bad start cannot be trusted either.
    if (header.magic != Magic || header.length > MaxFrameLength) {
        clear();
        return FrameReadStatus::Discarded;
    }
    if (available < FrameHeaderSize + static_cast<qsizetype>(header.length)) {
        if (m_offset > 0) {
            m_buffer.remove(0, static_cast<int>(m_offset));
            m_offset = 0;
        }
        return FrameReadStatus::NeedMore;
    }
    frame.type = header.type;
    frame.projectType = header.projectType;
    frame.payload = m_buffer.mid(static_cast<int>(m_offset + FrameHeaderSize), static_cast<int>(header.length));
    m_offset += FrameHeaderSize + header.length;
    if (m_offset == m_buffer.size()) {
        // Keep the allocation: the next read will fill it again.
        m_buffer.resize(0);
        m_offset = 0;
    }
    return FrameReadStatus::FrameReady;
}
