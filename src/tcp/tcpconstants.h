#pragma once

#include <QtGlobal>

// Sizes, type numbers and timings of the TCP update protocol and of the client that speaks it.
namespace TcpProtocol {

inline constexpr quint32 Magic = 0x12345678;

// Message types; a reply is its request with bit 15 set.
enum MessageType : quint32 {
    Heartbeat = 0x0001,
    VersionCheck = 0x0002,
    FileDownload = 0x0003,
    HeartbeatReply = 0x8001,
    VersionCheckReply = 0x8002,
    FileData = 0x8003,
    ServerError = 0xFFFF,
};

// Record sizes on the wire (all records are packed, little-endian).
inline constexpr int FrameHeaderSize = 20;
inline constexpr int HeartbeatPayloadSize = 8;
inline constexpr int VersionCheckRequestSize = 84;
inline constexpr int FileDownloadRequestSize = 176;
inline constexpr int VersionReplyHeaderSize = 57;
inline constexpr int FileEntrySize = 180;
inline constexpr int FileDataHeaderSize = 173;

// Widths of the fixed text fields; a text keeps at most width - 1 bytes so a NUL always follows.
inline constexpr int VersionFieldWidth = 32;
inline constexpr int ClientIdFieldWidth = 32;
inline constexpr int PathFieldWidth = 128;
inline constexpr int NameFieldWidth = 32;

// Field offsets inside the records.
inline constexpr int HeaderMagicOffset = 0;
inline constexpr int HeaderLengthOffset = 4;
inline constexpr int HeaderTypeOffset = 8;
inline constexpr int HeaderProjectTypeOffset = 12;
inline constexpr int HeaderReservedOffset = 16;

inline constexpr int RequestVersionOffset = 0;
inline constexpr int RequestClientIdOffset = 32;
inline constexpr int RequestProjectTypeOffset = 64;

inline constexpr int FileRequestPathOffset = 0;
inline constexpr int FileRequestNameOffset = 128;

inline constexpr int ReplyHasUpdateOffset = 0;
inline constexpr int ReplyVersionOffset = 1;
inline constexpr int ReplyProductTypeOffset = 33;
inline constexpr int ReplyFileCountOffset = 53;

inline constexpr int EntryPathOffset = 0;
inline constexpr int EntryNameOffset = 128;

inline constexpr int ChunkPathOffset = 0;
inline constexpr int ChunkNameOffset = 128;
inline constexpr int ChunkFileSizeOffset = 160;
inline constexpr int ChunkSizeOffset = 164;
inline constexpr int ChunkIsLastOffset = 168;
inline constexpr int ChunkAuxValueOffset = 169;

// Sent when the caller gives no client identifier.
inline constexpr const char *DefaultClientId = "Quillmarsh";
// The identifier the download driver always sends.
inline constexpr const char *DriverClientId = "1";

// A larger frame is treated like a wrong magic, so a server cannot make us buffer gigabytes.
inline constexpr quint32 MaxFrameLength = 64u * 1024u * 1024u;

// Client timings.
inline constexpr int ProbeTimeoutMs = 500;          // reachability probe of the update model
inline constexpr int ConnectTimeoutMs = 1000;       // the driver's own connection
inline constexpr int VersionCheckTimeoutMs = 1000;  // waiting for the version reply
inline constexpr int HeartbeatIntervalMs = 30000;   // a heartbeat keeps idle connections alive
inline constexpr int NoDataTimeoutMs = 30000;       // a file that sends nothing this long has failed
// A file that arrives slower than this on average over the window has failed too: a server that
// drips a few bytes now and then would otherwise keep an attempt alive for ever.
inline constexpr qint64 MinBytesPerSecond = 1024;
inline constexpr int RateWindowMs = 60000;
inline constexpr int ReceiveBufferReserve = 1024;   // typical control replies fit without growing
inline constexpr int NoTimeLimit = -1;              // downloadFile() without an overall limit
// The socket stops reading from the system once this much is waiting for us, so a fast server
// is slowed down by TCP itself instead of filling our memory while we write to disk.
inline constexpr qint64 SocketReadBufferSize = 1024 * 1024;

// Download driver.
inline constexpr int MaxRetries = 3;                // retries after the first attempt of a file
inline constexpr int RetryPauseMs = 1000;           // pause between two attempts of a file
inline constexpr int PercentScale = 100;
// The window follows a file's progress at most this often (the first and the last report of a
// file are always shown): repainting after every 64 KiB chunk would cost more than the transfer.
inline constexpr int WindowRefreshIntervalMs = 40;

} // namespace TcpProtocol
