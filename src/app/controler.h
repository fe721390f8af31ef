#pragma once

#include "fileops/installer.h"
#include "fileops/minisign.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class Widget;
class UpdateWidget;
class CUpdateModel;
class QJsonObject;

// Drives one run of the updater: the check, the download through the chosen transport, and the
// steps that apply a finished download to the installation (back up, replace, roll back, hand
// over to the update helper or start the host program again).
//
// The file steps are an Installer's, on the working directories of system.cfg; the controller
// offers them one by one, so that the run logic and tests can call them.
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
    // When it returns, either the run is over (isFinished()) or it goes on in the event loop: an
    // HTTP download, or a failure window in GUI mode that waits for the user to close it.
    void run();
    // Helper mode: finishes ("HelperSuccess") or undoes a self-update; returns the exit code.
    int runHelperMode();
    [[nodiscard]] bool isAnyWindowVisible() const;
    // True once the run has ended and the program asked to end; exitCode() is then final.
    [[nodiscard]] bool isFinished() const { return m_phase == Phase::Finished; }
    // One of ExitCode. A run that never reported its end counts as a failed update.
    [[nodiscard]] int exitCode() const;

    [[nodiscard]] static RunMode detectRunMode(const QStringList &args);
    // 0 when "HelperSuccess" is among the arguments, 1 otherwise.
    [[nodiscard]] static int helperOutcome(const QStringList &args);
    [[nodiscard]] QJsonObject buildResultJson() const;
    static void printResultJson(const QJsonObject &object);

    // Where a run records that it is replacing installed files; found at the next start, it means
    // that run died half-way and the backup must be put back first.
    [[nodiscard]] QString replaceMarkerPath() const { return installer.dirs().replaceMarkerPath(); }
    // Restores the backup when the replace marker is present. False when that restore failed:
    // the working directories then hold the only copy of the replaced files and must stay.
    [[nodiscard]] bool recoverInterruptedApply();

    // Initialises the file operations; on success computes the working directories. False, with
    // an ERROR line, when init fails.
    [[nodiscard]] bool initFileOperations();

    // Working directories: tempDir and backupDir from [Paths] Temp and [Paths] Backup.
    void setupDirs();
    void clearTempDir() { installer.clearTempDir(); }
    void clearBackupDir() { installer.clearBackupDir(); }

    // Copy routines (Installer has the details).
    [[nodiscard]] bool copyFile(const QString &src, const QString &dst) { return installer.copyFile(src, dst); }
    [[nodiscard]] bool copyDirectory(const QString &src, const QString &dst) { return installer.copyDirectory(src, dst); }
    [[nodiscard]] bool installFile(const QString &src, const QString &dst, bool move)
    {
        return installer.installFile(src, dst, move);
    }
    [[nodiscard]] bool installDirectory(const QString &src, const QString &dst, bool move)
    {
        return installer.installDirectory(src, dst, move);
    }
    [[nodiscard]] bool backupDirectory(const QString &listDir, const QString &installDir, const QString &backupDir)
    {
        return installer.backupDirectory(listDir, installDir, backupDir);
    }

    // Applying a download.
    [[nodiscard]] bool backupFiles() { return installer.backupFiles(); }
    [[nodiscard]] bool backupSpecialFiles() { return installer.backupSpecialFiles(); }
    [[nodiscard]] bool replaceFiles() { return installer.replaceFiles(); }
    [[nodiscard]] bool replaceSpecialFiles() { return installer.replaceSpecialFiles(); }
    // On failure errorMessage() says why.
    bool rollbackFiles();

    // Ending an update.
    [[nodiscard]] bool hasSelfUpdate() const { return installer.hasSelfUpdate(); }
    bool launchHostProgram();
    bool launchUpdateHelper();

    [[nodiscard]] QString appDirPath() const { return installer.dirs().appDir(); }
    [[nodiscard]] QString tempDirPath() const { return installer.dirs().tempDir(); }
    [[nodiscard]] QString backupDirPath() const { return installer.dirs().backupDir(); }
    [[nodiscard]] QString errorMessage() const { return errorText; }
    [[nodiscard]] bool succeeded() const { return success; }
    [[nodiscard]] CFileOperationManager *fileOperations() { return &installer.fileOperations(); }

signals:
    // The run has ended with one of ExitCode; the program should end. Emitted once, possibly
    // before the event loop has been entered (a TCP update ends inside run()).
    void finished(int exitCode);

public slots:
    // Stops the run from outside (the process is asked to end, or the window is closed while a
    // download runs): a download is cancelled and nothing is applied; an installation in progress
    // is finished first.
    void cancel();

private slots:
    void onUpdateResult(bool bSuccess);

private:
    // Where a run stands; decides what a result, a closed window or a cancel means.
    enum class Phase { Starting, Checking, Downloading, Applying, AwaitingClose, Finished };
    // How applying a finished download ended.
    enum class ApplyResult { Applied, NotApplied, RolledBack, RestoreFailed };

    [[nodiscard]] int startUpdateCheck();
    [[nodiscard]] bool beginUpdate();
    // backupFiles, replaceFiles (rolled back on failure), with the replace marker around it.
    [[nodiscard]] ApplyResult applyDownload();
    // The download ended without a usable result: nothing is applied, the working directories
    // are cleared, and the run ends with ExitCode::UpdateFailed.
    void failDownload(const QString &reason, bool cancelled);
    // Reports a failure: at once in console mode and after a cancel, otherwise once the user has
    // closed the failure window.
    void endWithFailure(int code, bool immediately);
    void finish(int code);
    // A window of ours was closed by the user.
    void onWindowClosed();
    // The TCP window's cancel button or Esc key.
    void onTcpWindowCancel();
    // When the download holds a new update.exe: the configured update helper that cannot be
    // found (its path, or the setting when it is empty). Empty when there is nothing missing.
    [[nodiscard]] QString missingUpdateHelper() const;
    // With [Update] PublicKey: the download is the signed release the check announced, of no
    // lower version than the installed one, every file as the manifest names it. Empty when it
    // passes (or no key is configured), otherwise why not.
    [[nodiscard]] QString signedReleaseProblem() const;
    // After a TCP update: [General] Version of system.cfg becomes the version the server offered.
    void recordInstalledVersion();

    [[nodiscard]] bool launchDelayed(const QString &configuredName, const QStringList &launchArguments);

    Widget *httpDialog = nullptr;
    UpdateWidget *tcpWindow = nullptr;
    std::unique_ptr<CUpdateModel> model;
    Installer installer;
    RunMode runMode = RunMode::Gui;
    bool updateAvailable = false;
    bool success = true;
    QString errorText;
    QStringList arguments;
    Phase m_phase = Phase::Starting;
    int m_exitCode = 0;
    bool m_cancelRequested = false;
    // Set while a finished TCP download is applied: the version to record, and the reason
    // system.cfg is saved with the backup.
    QString m_versionToRecord;
    QVector<Minisign::PublicKey> m_trustedKeys; // from [Update] PublicKey; empty: releases are not checked
};
