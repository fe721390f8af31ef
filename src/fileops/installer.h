#pragma once

#include "fileops/workdirs.h"

#include <QString>
#include <QStringList>

#include <memory>

class CFileOperationManager;
class QFileInfo;

// Applies a finished download to the installation, in the directories of a WorkDirs: saves what
// the download will overwrite into the backup, moves the download over the installation, and
// puts the backup back when that fails. Errors are logged as they happen; the steps that undo
// something also leave the reason in lastError().
class Installer
{
public:
    explicit Installer(const WorkDirs &dirs = WorkDirs());
    ~Installer();
    Installer(const Installer &) = delete;
    Installer &operator=(const Installer &) = delete;

    [[nodiscard]] const WorkDirs &dirs() const { return m_dirs; }
    void setDirs(const WorkDirs &dirs) { m_dirs = dirs; }
    // system.cfg goes into the backup as well (the run records the installed version in it).
    void setBackupConfig(bool backup) { m_backupConfig = backup; }

    // The file-operation manager that restores a backup; created on first use.
    [[nodiscard]] CFileOperationManager &fileOperations();
    [[nodiscard]] bool init();

    // Copy routines. install* move the source into place where the file system allows it (the
    // replace moves the download, which is not needed once installed); a replaced file's mode is
    // kept.
    [[nodiscard]] bool copyFile(const QString &src, const QString &dst);
    [[nodiscard]] bool copyDirectory(const QString &src, const QString &dst);
    [[nodiscard]] bool installFile(const QString &src, const QString &dst, bool move);
    [[nodiscard]] bool installDirectory(const QString &src, const QString &dst, bool move);
    // Copies into backupDir every installed file below installDir that listDir (a directory of
    // the download) is about to replace. False as soon as one of them could not be saved.
    [[nodiscard]] bool backupDirectory(const QString &listDir, const QString &installDir, const QString &backupDir);

    // Applying a download.
    [[nodiscard]] bool backupFiles();
    [[nodiscard]] bool backupSpecialFiles();
    [[nodiscard]] bool replaceFiles();
    [[nodiscard]] bool replaceSpecialFiles();
    // Restores the backup, removes what the download added, and clears both working directories.
    bool rollbackFiles();

    // The replace marker: written before installed files are touched, removed once the
    // installation is whole again. False (with an ERROR line) when it cannot be written.
    [[nodiscard]] bool markReplaceInProgress();
    void clearReplaceMarker();
    [[nodiscard]] bool replaceWasInterrupted() const;

    // True when the download carries a new update.exe at its top.
    [[nodiscard]] bool hasSelfUpdate() const;
    void clearTempDir();
    void clearBackupDir();
    // The pending version description and MD5 list belong to the run that fetched them.
    void removeStalePendingFiles();

    [[nodiscard]] QString lastError() const { return m_lastError; }

private:
    // No top-level entry of the download would land on a working directory or the replace marker.
    [[nodiscard]] bool downloadIsApplicable() const;
    [[nodiscard]] bool workDirsAreUsable() const;
    // The paths the download adds to the installation, recorded in the backup for a rollback.
    void collectAddedPaths(const QFileInfo &downloaded, const QString &rel, QStringList &added) const;
    [[nodiscard]] bool recordAddedPaths();
    // Removes what the recorded list names; false (lastError() says why) when a file stays.
    [[nodiscard]] bool removeAddedPaths();
    bool fail(const QString &text);

    WorkDirs m_dirs;
    bool m_backupConfig = false;
    std::unique_ptr<CFileOperationManager> m_fileOperations;
    QString m_lastError;
};
