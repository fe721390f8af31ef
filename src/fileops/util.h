#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Free helpers of the updater.
namespace UTIL {

// Starts program with arguments about one second from now, detached from the updater, through a
// script in QDir::tempPath() that waits, runs the program, waits for it and deletes itself
// ("delay_start_<ms>.bat" run by cmd.exe on Windows, "delay_start_<ms>.sh" run by /bin/sh
// elsewhere). When the script cannot be written or its interpreter cannot be started, the
// program is started at once instead. Problems are Qt warnings; nothing is returned.
void delayStartExe(const QString &program, const QStringList &arguments);

// The same with the script interpreter named by the caller instead of the platform's own; tests
// use it to reach the fallback for an interpreter that cannot be started.
void delayStartExe(const QString &program, const QStringList &arguments, const QString &interpreter);

// The Windows script, exactly as it is written: five GBK lines ended by CR LF. Forward slashes of
// program and scriptPath become backslashes; arguments are written in double quotes, unchanged.
[[nodiscard]] QByteArray batchScript(const QString &program, const QStringList &arguments, const QString &scriptPath);

// The POSIX script: wait, run the program with every word single-quoted, then remove the script.
[[nodiscard]] QByteArray shellScript(const QString &program, const QStringList &arguments, const QString &scriptPath);

// text as one single-quoted word of the POSIX shell ("it's" becomes 'it'\''s').
[[nodiscard]] QString shellQuote(const QString &text);

// Starts program at once, detached; on POSIX its standard streams are /dev/null instead of the
// caller's. False when the program could not be started.
bool startDetached(const QString &program, const QStringList &arguments);

// QDir::tempPath() + "/delay_start_<msecs>" + the platform's script suffix.
[[nodiscard]] QString delayStartScriptPath(qint64 msecs);

} // namespace UTIL
