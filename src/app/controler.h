#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class Widget;
class UpdateWidget;
class CFileOperationManager;
class CUpdateModel;
class QJsonObject;

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

    // Creates both windows (hidden), the update model and the file-operation manager, and computes
    // the working directories. False, with an ERROR line, when the file operations cannot be set
    // up or [Paths] Temp / [Paths] Backup could make the clean-up remove the installation.
    [[nodiscard]] bool initialize();
    // Stores the command line and picks the run mode; false for helper mode.
    [[nodiscard]] bool parseArguments(const QStringList &args);
    // Console and GUI mode: the update check, its report, and the download when there is one.
    void run();
    // Helper mode: finishes ("HelperSuccess") or undoes a self-update.
    void runHelperMode();
    [[nodiscard]] bool isAnyWindowVisible() const;
    // True once an update has been applied and the program asked to end.
    [[nodiscard]] bool quitRequested() const { return m_quitRequested; }

    [[nodiscard]] static RunMode detectRunMode(const QStringList &args);
    // 0 when "HelperSuccess" is among the arguments, 1 otherwise.
    [[nodiscard]] static int helperOutcome(const QStringList &args);
    [[nodiscard]] QJsonObject buildResultJson() const;
    static void printResultJson(const QJsonObject &object);

    // Where a run records that it is replacing installed files; found at the next start, it means
    // that run died half-way and the backup must be put back first.
    [[nodiscard]] QString replaceMarkerPath() const;
    // Restores the backup when the replace marker is present. False when that restore failed:
    // the working directories then hold the only copy of the replaced files and must stay.
    [[nodiscard]] bool recoverInterruptedApply();

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

private slots:
    void onUpdateResult(bool bSuccess);

private:
    [[nodiscard]] int startUpdateCheck();
    [[nodiscard]] bool beginUpdate();
    // Asks the event loop to end, also when it has not been entered yet.
    void requestQuit();
    // backupFiles, replaceFiles (rolled back on failure), with the replace marker around it.
    [[nodiscard]] bool applyDownload();

    // True when path may be removed or written as a working directory: non-empty, strictly below
    // appDir, and not reached through a link that leads out of the installation.
    [[nodiscard]] bool isWorkDirectory(const QString &path) const;
    void removeWorkDirectory(const QString &path);
    // Both working directories are usable and neither lies inside the other; ERROR otherwise.
    [[nodiscard]] bool workDirsAreUsable() const;
    // No top-level entry of the download would land on a working directory or the replace marker.
    [[nodiscard]] bool downloadIsApplicable() const;
    // Writes the replace marker; false (with an ERROR line) when it cannot be written.
    [[nodiscard]] bool markReplaceInProgress();
    CFileOperationManager &ensureFileOperations();
    [[nodiscard]] bool launchDelayed(const QString &configuredName, const QStringList &launchArguments);

    Widget *httpDialog = nullptr;
    UpdateWidget *tcpWindow = nullptr;
    std::unique_ptr<CUpdateModel> model;
    std::unique_ptr<CFileOperationManager> fileOperationManager;
    RunMode runMode = RunMode::Gui;
    bool updateAvailable = false;
    bool success = true;
    QString errorText;
    QStringList arguments;
    QString appDir;
    QString tempDir;
    QString backupDir;
    bool m_quitRequested = false;
};
