#pragma once

#include "fileops/fileopsconstants.h"

#include <QtGlobal>

// Names and limits of the HTTP transport, shared by the dialog and its coordinator.
namespace HttpConstants {

// A request fails when nothing arrives for this long (checks and queue alike).
inline constexpr int TransferTimeoutMs = 120000;
inline constexpr int MsPerSecond = 1000;

// Limits against servers that send without end or drip: a reply beyond its limit, or slower than
// MinBytesPerSecond on average over RateWindowMs, fails; the checks together get CheckDeadlineMs.
inline constexpr qint64 MaxVersionFileBytes = 64 * 1024;         // update.ini is a few hundred bytes
inline constexpr qint64 MaxMd5ListBytes = 64 * 1024 * 1024;      // about 500,000 files
inline constexpr qint64 MaxFileBytes = 4LL * 1024 * 1024 * 1024; // a file without Content-Length
inline constexpr qint64 MinBytesPerSecond = 1024;
inline constexpr int RateWindowMs = 60000;
inline constexpr int CheckDeadlineMs = 60000;

// The reply keeps at most this much unread body; the network thread waits for us to write it to
// disk, so a large file never piles up in memory.
inline constexpr qint64 ReplyReadBufferSize = 1024 * 1024;
// Bytes moved from the reply to the file per read.
inline constexpr qint64 CopyChunkSize = 256 * 1024;

// A reply with this status or above is a failure, whatever its body holds.
inline constexpr int HttpErrorStatus = 400;

// Progress bars show percent.
inline constexpr int PercentMax = 100;

// The frameless dialog is a fixed-size picture with the background image.
inline constexpr int WindowWidth = 640;
inline constexpr int WindowHeight = 455;

// Below the application directory: the update folder with the version record and the two files
// the checks download.
// The apply steps install the last two, so the names are theirs.
inline constexpr const char *UpdateDirName = FileOps::UpdateSubDir;
inline constexpr const char *VersionFileName = FileOps::VersionFileName;
inline constexpr const char *VersionTmpFileName = FileOps::PendingVersionFileName;
inline constexpr const char *Md5TmpFileName = FileOps::PendingMd5FileName;

// Keys of the version file update.ini.
inline constexpr const char *VersionGroup = "Version";
inline constexpr const char *VersionKey = "Version";
inline constexpr const char *FolderKey = "Folder";

} // namespace HttpConstants
