#pragma once

#include "helper/helperconstants.h"

#include <QString>
#include <QStringList>

#include <functional>

// The work of updatehelper.exe. The updater starts it, through the delayed start, with two plain
// file names: the new updater's name in [Paths] Temp and the installed updater's name in the
// application directory (both "update.exe"). The helper waits until that updater has ended,
// replaces the installed file with the new one (CFileReplacer), and starts the installed file
// again with "updatehelper HelperSuccess", or with "updatehelper HelperFaile" after any failure,
// so that update.exe finishes or rolls back the rest of the update. It writes nothing but the
// installed updater (and its own log).
class CUpdateHelper
{
public:
    // appDir: the installation, without a trailing "/"; the program passes the directory it lies
    // in, where update.exe and system.cfg are.
    explicit CUpdateHelper(const QString &appDir);

    // Opens updatehelper.log in the folder named by [Paths] Log of the application directory.
    static void startLogging();

    // arguments: the command line without the program itself.
    [[nodiscard]] Helper::ExitCode run(const QStringList &arguments);

    // How long run() waits for the updater to end; Helper::UpdaterExitTimeoutMs by default.
    void setWaitTimeout(int milliseconds) { m_waitTimeoutMs = milliseconds; }
    // For tests: runs after the new file was renamed into place, before it is checked.
    void setAfterRenameHook(std::function<void()> hook) { m_afterRename = std::move(hook); }

    // True when no running process is the program stored at path (its single-instance marker is
    // free; on Windows the file can also be opened for exclusive writing). Waits up to the
    // time-out; false when it expired.
    [[nodiscard]] bool waitUntilEnded(const QString &path) const;

    // The single-instance key that update.exe stored at path holds while it runs.
    [[nodiscard]] static QString updaterInstanceKey(const QString &path);

    // A name that stays inside the directory it is joined to: not empty, not "." or "..", and
    // free of separators, drive colons, control characters and the other characters that Windows
    // forbids; no trailing blank or dot (Windows drops them).
    [[nodiscard]] static bool isPlainFileName(const QString &name);

private:
    // Starts the installed updater with "updatehelper" and the outcome for code; returns code, or
    // StartFailed when the updater cannot be started.
    [[nodiscard]] Helper::ExitCode handBack(Helper::ExitCode code, const QString &updater) const;

    QString m_appDir;
    int m_waitTimeoutMs = Helper::UpdaterExitTimeoutMs;
    std::function<void()> m_afterRename;
};
