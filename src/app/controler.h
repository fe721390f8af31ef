#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class Widget;
class UpdateWidget;
class CFileOperationManager;

// Drives one run of the updater: the check, the download through the chosen transport, and the
// steps that apply a finished download to the installation (back up, replace, roll back, hand
// over to the update helper or start the host program again).
//
// The file steps are defined in src/fileops/ (controler_files.cpp, controler_launch.cpp); they
// work on appDir, tempDir and backupDir and are public so that the run logic and tests can call
// them one by one.
class CControler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CControler)

public:
    enum class RunMode { Console = 0, Gui = 1, Helper = 2 };

    explicit CControler(QObject *parent = nullptr);
    ~CControler() override;

    // Creates the file-operation manager (Qt parent: this controller) and initialises it; on
    // success computes the working directories. False, with an ERROR line, when init fails.
    [[nodiscard]] bool initFileOperations();

    // Working directories: tempDir and backupDir from [Paths] Temp and [Paths] Backup.
    void setupDirs();
    void clearTempDir();
    void clearBackupDir();

    // Copy routines.
    [[nodiscard]] bool copyFile(const QString &src, const QString &dst);
    [[nodiscard]] bool copyDirectory(const QString &src, const QString &dst);
    // Copies into backupDir every installed file below installDir that listDir (a directory of
    // the download) is about to replace. False as soon as one of them could not be saved.
    [[nodiscard]] bool backupDirectory(const QString &listDir, const QString &installDir, const QString &backupDir);

    // Applying a download.
    [[nodiscard]] bool backupFiles();
    [[nodiscard]] bool backupSpecialFiles();
    [[nodiscard]] bool replaceFiles();
    [[nodiscard]] bool replaceSpecialFiles();
    bool rollbackFiles();

    // Ending an update.
    [[nodiscard]] bool hasSelfUpdate() const;
    bool launchHostProgram();
    bool launchUpdateHelper();

    [[nodiscard]] QString appDirPath() const { return appDir; }
    [[nodiscard]] QString tempDirPath() const { return tempDir; }
    [[nodiscard]] QString backupDirPath() const { return backupDir; }
    [[nodiscard]] QString errorMessage() const { return errorText; }
    [[nodiscard]] bool succeeded() const { return success; }
    [[nodiscard]] CFileOperationManager *fileOperations() const { return fileOperationManager.get(); }

private:
    // True when path may be removed or written as a working directory: non-empty, strictly below
    // appDir, and not reached through a link that leads out of the installation.
    [[nodiscard]] bool isWorkDirectory(const QString &path) const;
    void removeWorkDirectory(const QString &path);
    // Both working directories are usable and neither lies inside the other; ERROR otherwise.
    [[nodiscard]] bool workDirsAreUsable() const;
    CFileOperationManager &ensureFileOperations();
    [[nodiscard]] bool launchDelayed(const QString &configuredName, const QStringList &launchArguments);

    Widget *httpDialog = nullptr;
    UpdateWidget *tcpWindow = nullptr;
    std::unique_ptr<CFileOperationManager> fileOperationManager;
    RunMode runMode = RunMode::Gui;
    bool updateAvailable = false;
    bool success = true;
    QString errorText;
    QStringList arguments;
    QString appDir;
    QString tempDir;
    QString backupDir;
};
