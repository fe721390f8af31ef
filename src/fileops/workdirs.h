#pragma once

#include <QString>
#include <QStringList>

// The directories one run works in, made once from system.cfg and the application directory:
// the installation (appDir), the download (tempDir, [Paths] Temp), the backup of what a replace
// overwrites (backupDir, [Paths] Backup), and the marker of a replace in progress. Every path is
// absolute with a trailing "/". The class decides which of them may be written and removed.
class WorkDirs
{
public:
    // Nothing configured: every directory is empty and nothing is a working directory.
    WorkDirs() = default;
    // temp and backup as system.cfg gives them; a relative one lies below appDir. keptDirs are
    // directories below appDir that the program keeps (the update/ folder, the log folder).
    WorkDirs(const QString &appDir, const QString &temp, const QString &backup, const QStringList &keptDirs = {});

    // From the loaded system.cfg and CSystemConfig::appDirPath(); the kept directories are the
    // update/ folder and the log folder.
    [[nodiscard]] static WorkDirs fromConfig();

    [[nodiscard]] QString appDir() const { return m_appDir; }
    [[nodiscard]] QString tempDir() const { return m_tempDir; }
    [[nodiscard]] QString backupDir() const { return m_backupDir; }
    // appDir + "update/": the installed version description and the pending files.
    [[nodiscard]] QString updateDir() const;
    // Where a run records that it is replacing installed files. Not in update/, which the HTTP
    // transport empties.
    [[nodiscard]] QString replaceMarkerPath() const;

    // Whether the configured values may become working directories, which are removed
    // recursively at every start: each must pass pathProblem(WorkDirectory), neither may hold
    // or lie in the other or a kept directory. Empty when they may; otherwise the setting at
    // fault ("[Paths] Temp" or "[Paths] Backup") in *key and its value in *value.
    [[nodiscard]] QString settingsProblem(QString *key = nullptr, QString *value = nullptr) const;

    // True when path may be removed or written as a working directory: non-empty, strictly below
    // appDir, and not reached through a link that leads out of the installation.
    [[nodiscard]] bool isWorkDirectory(const QString &path) const;
    // Both directories are configured working directories and neither lies inside the other, as
    // they are on disk now; an empty string when so, otherwise the directory at fault.
    [[nodiscard]] QString usabilityProblem() const;
    // Removes a working directory with everything in it; a link is removed, not followed. A path
    // that is no working directory is refused with an ERROR line.
    void remove(const QString &path) const;

private:
    QString m_appDir;
    QString m_tempSetting;
    QString m_backupSetting;
    QStringList m_keptDirs;
    QString m_tempDir;
    QString m_backupDir;
};
