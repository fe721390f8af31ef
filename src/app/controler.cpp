#include "app/controler.h"

#include "app/exitcodes.h"
#include "app/logging.h"
#include "app/processentry.h"
#include "app/updatemodel.h"
#include "config/systemconfig.h"
#include "fileops/fileopsconstants.h"
#include "fileops/releasemanifest.h"
#include "fileops/signedrelease.h"
#include "http/widget.h"
#include "tcp/updatewidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr const char *kArgConsole = "console";
constexpr const char *kArgHelper = "updatehelper";
constexpr const char *kArgHelperSuccess = "HelperSuccess";

} // namespace

CControler::CControler(QObject *parent)
    : QObject(parent)
    , installer(WorkDirs(CSystemConfig::appDirPath(), QString(), QString()))
{
}

CControler::~CControler()
{
    // Deleting the HTTP dialog emits its final result while the model still exists; with the
    // HTTP transport that reaches onUpdateResult(false), which applies nothing.
    if (httpDialog) {
        delete httpDialog;
        httpDialog = nullptr;
    }
    if (tcpWindow) {
        delete tcpWindow;
        tcpWindow = nullptr;
    }
    // Released here rather than by the QObject base, which would delete it as a child later.
    model.reset();
}

bool CControler::initialize()
{
    httpDialog = new Widget();
    tcpWindow = new UpdateWidget();

    model = std::make_unique<CUpdateModel>(this);
    model->setWindows(httpDialog, tcpWindow);
    connect(model.get(), &CUpdateModel::sigUpdateResult, this, &CControler::onUpdateResult);
    connect(httpDialog, &QDialog::finished, this, &CControler::onWindowClosed);
    connect(tcpWindow, &UpdateWidget::closed, this, &CControler::onWindowClosed);
    connect(tcpWindow, &UpdateWidget::cancelRequested, this, &CControler::onTcpWindowCancel);

    const CSystemConfig &config = CSystemConfig::instance();
    if (!config.loadError().isEmpty()) {
        logError(config.loadError());
        return false;
    }
    const QStringList warnings = config.warnings();
    for (const QString &warning : warnings)
        logWarn(warning);
    // A key that cannot be read would let nothing through; better to say so at once.
    QString keyError;
    if (!config.publicKey().isEmpty() && !Minisign::parsePublicKeys(config.publicKey(), &m_trustedKeys, &keyError)) {
        logError(QStringLiteral("[Update] PublicKey 无效: ") + keyError);
        return false;
    }

    // Both working directories are removed recursively at every start; a value that could make
    // that remove the installation, anything outside it, the installed version record or the
    // logs stops the program here.
    QString key;
    QString value;
    if (!WorkDirs::fromConfig().settingsProblem(&key, &value).isEmpty()) {
        logError(QStringLiteral("工作目录配置不安全，拒绝启动: ") + key + QStringLiteral("=") + value);
        return false;
    }
    return initFileOperations();
}

bool CControler::initFileOperations()
{
    if (!installer.init()) {
        logError("文件操作管理器初始化失败");
        return false;
    }
    setupDirs();
    return true;
}

void CControler::setupDirs()
{
    installer.setDirs(WorkDirs::fromConfig());
    logDebug(QStringLiteral("临时目录:") + tempDirPath());
    logDebug(QStringLiteral("备份目录:") + backupDirPath());
}

bool CControler::rollbackFiles()
{
    if (installer.rollbackFiles())
        return true;
    errorText = installer.lastError();
    return false;
}

bool CControler::parseArguments(const QStringList &args)
{
    arguments = args;
    runMode = detectRunMode(args);
    return runMode != RunMode::Helper;
}

CControler::RunMode CControler::detectRunMode(const QStringList &args)
{
    if (args.contains(QLatin1String(kArgHelper)))
        return RunMode::Helper;
    if (args.contains(QLatin1String(kArgConsole)))
        return RunMode::Console;
    return RunMode::Gui;
}

int CControler::helperOutcome(const QStringList &args)
{
    return args.contains(QLatin1String(kArgHelperSuccess)) ? 0 : 1;
}

int CControler::exitCode() const
{
    return m_phase == Phase::Finished ? m_exitCode : ExitCode::UpdateFailed;
}

void CControler::run()
{
    if (runMode == RunMode::Helper)
        return;
    m_phase = Phase::Checking;

    if (!recoverInterruptedApply()) {
        // The backup could not be put back: keep it, and do not start another update on top.
        success = false;
        if (errorText.isEmpty())
            errorText = QStringLiteral("上次更新未完成，从备份恢复失败");
        if (runMode == RunMode::Console)
            printResultJson(buildResultJson());
        finish(ExitCode::RestoreFailed);
        return;
    }

    installer.removeStalePendingFiles();
    clearBackupDir();
    clearTempDir();

    const int result = startUpdateCheck();
    updateAvailable = (result == CUpdateModel::UpdateAvailable);
    errorText = model->errorText();
    success = (result == CUpdateModel::UpdateAvailable || result == CUpdateModel::NoUpdate);

    // The result line is the last line a host program reads about the check: log first.
    if (result == CUpdateModel::NoTransport)
        logError(QStringLiteral("没有可用的升级服务: ") + errorText);
    else if (result == CUpdateModel::CheckFailed)
        logError(QStringLiteral("检查更新失败: ") + errorText);
    else if (result == CUpdateModel::NoUpdate)
        logInfo("已是最新版本，无需更新");
    if (runMode == RunMode::Console)
        printResultJson(buildResultJson());

    switch (result) {
    case CUpdateModel::NoTransport:
        finish(ExitCode::CheckFailed);
        return;
    case CUpdateModel::CheckFailed:
        // The installation is as it was: the user's program can start as usual.
        if (runMode == RunMode::Gui)
            launchHostProgram();
        finish(ExitCode::CheckFailed);
        return;
    case CUpdateModel::NoUpdate:
        if (runMode == RunMode::Gui)
            launchHostProgram();
        finish(ExitCode::Ok);
        return;
    default:
        break;
    }

    if (m_cancelRequested) {
        failDownload(QStringLiteral("更新已取消"), true);
        return;
    }
    m_phase = Phase::Downloading;
    // A TCP download runs inside this call and its result has arrived when it returns; an HTTP
    // download has only started.
    if (!beginUpdate() && m_phase == Phase::Downloading)
        failDownload(QStringLiteral("下载没有开始"), false);
}

int CControler::runHelperMode()
{
    if (runMode != RunMode::Helper)
        return ExitCode::Ok;
    if (!recoverInterruptedApply())
        return ExitCode::RestoreFailed;

    if (helperOutcome(arguments) == 0) {
        clearBackupDir();
        clearTempDir();
        launchHostProgram();
        return ExitCode::Ok;
    }
    if (!rollbackFiles()) {
        // The installation holds the new files and the backup the only copy of the old ones:
        // the next start must try the restore again before it clears anything.
        (void)installer.markReplaceInProgress();
        return ExitCode::RestoreFailed;
    }
    return ExitCode::UpdateFailed;
}

bool CControler::isAnyWindowVisible() const
{
    return httpDialog && tcpWindow && (tcpWindow->isVisible() || httpDialog->isVisible());
}

int CControler::startUpdateCheck()
{
    return model->start();
}

bool CControler::beginUpdate()
{
    model->showWindow();
    return model->startDownload();
}

void CControler::cancel()
{
    switch (m_phase) {
    case Phase::Starting:
    case Phase::Checking:
        m_cancelRequested = true;
        break;
    case Phase::Downloading:
        logWarn("收到取消请求，停止下载");
        model->cancelDownload();
        break;
    case Phase::Applying:
        // Files are being replaced: stopping now would leave a half-updated installation.
        m_cancelRequested = true;
        break;
    case Phase::AwaitingClose:
        finish(m_exitCode);
        break;
    case Phase::Finished:
        break;
    }
}

void CControler::onWindowClosed()
{
    if (m_phase == Phase::AwaitingClose)
        finish(m_exitCode);
    else if (m_phase == Phase::Downloading)
        cancel();
}

void CControler::onTcpWindowCancel()
{
    // While downloading, the driver handles the button itself.
    if (m_phase == Phase::AwaitingClose && tcpWindow)
        tcpWindow->close();
}

void CControler::onUpdateResult(bool bSuccess)
{
    // Only the end of the running download counts; the HTTP dialog's farewell result on
    // destruction, for instance, comes after the run.
    if (m_phase != Phase::Downloading)
        return;
    if (!bSuccess) {
        failDownload(model->failureText(), model->downloadCancelled());
        return;
    }

    m_phase = Phase::Applying;
    // A new update.exe needs the helper to be installed; without it the update could never be
    // completed, so nothing is applied.
    const QString helper = missingUpdateHelper();
    if (!helper.isEmpty()) {
        logError(QStringLiteral("未找到升级助手，无法完成自我更新: ") + helper);
        installer.removeStalePendingFiles();
        clearBackupDir();
        clearTempDir();
        success = false;
        errorText = QStringLiteral("未找到升级助手: ") + helper;
        model->showFailure(errorText);
        endWithFailure(ExitCode::UpdateFailed, false);
        return;
    }
    const QString verification = signedReleaseProblem();
    if (!verification.isEmpty()) {
        installer.removeStalePendingFiles();
        clearBackupDir();
        clearTempDir();
        success = false;
        errorText = verification;
        model->showFailure(QStringLiteral("发布包验证失败: ") + verification);
        endWithFailure(ExitCode::UpdateFailed, false);
        return;
    }
    m_versionToRecord = model->offeredVersion();
    installer.setBackupConfig(!m_versionToRecord.isEmpty());
    const ApplyResult applied = applyDownload();
    // After a failure the pending version description and list describe nothing installed.
    if (applied != ApplyResult::Applied)
        installer.removeStalePendingFiles();
    switch (applied) {
    case ApplyResult::Applied:
        break;
    case ApplyResult::NotApplied:
        clearBackupDir();
        clearTempDir();
        model->showFailure(QStringLiteral("备份已安装的文件失败，未做任何更改"));
        endWithFailure(ExitCode::UpdateFailed, false);
        return;
    case ApplyResult::RolledBack:
        model->showFailure(QStringLiteral("安装更新失败，已恢复原来的文件"));
        endWithFailure(ExitCode::UpdateFailed, false);
        return;
    case ApplyResult::RestoreFailed:
        model->showFailure(QStringLiteral("安装更新失败，恢复原来的文件也失败，下次启动时将重试"));
        endWithFailure(ExitCode::RestoreFailed, false);
        return;
    }

    if (hasSelfUpdate()) {
        // temp holds the new update.exe for the helper; backup stays for a rollback.
        if (!launchUpdateHelper()) {
            const bool restored = rollbackFiles();
            if (!restored)
                (void)installer.markReplaceInProgress();
            model->showFailure(QStringLiteral("无法启动升级助手，") + (restored ? QStringLiteral("已恢复原来的文件")
                                                                            : QStringLiteral("恢复原来的文件也失败")));
            endWithFailure(restored ? ExitCode::UpdateFailed : ExitCode::RestoreFailed, false);
            return;
        }
    } else {
        clearBackupDir();
        clearTempDir();
        launchHostProgram();
    }
    logInfo("更新完成");
    model->showInstalled();
    finish(ExitCode::Ok);
}

QString CControler::signedReleaseProblem() const
{
    if (m_trustedKeys.isEmpty())
        return QString();
    const SignedReleaseCheck check = checkSignedDownload(tempDirPath(), appDirPath(), m_trustedKeys);
    QString problem = check.error;
    QString detail = check.detail;
    if (check.ok()) {
        // A correctly signed release can still be the wrong one: an old release replayed by
        // whoever answers in the server's place.
        const ReleaseManifest &manifest = check.manifest;
        const QString announced = model->announcedVersion();
        const QString installed = model->installedVersion();
        const QString folder = model->announcedFolder();
        if (manifest.version() != announced) {
            problem = QStringLiteral("manifest of version %1, the server announced %2").arg(manifest.version(), announced);
        } else if (!folder.isEmpty() && manifest.folder() != folder) {
            problem = QStringLiteral("manifest of folder %1, the server announced %2").arg(manifest.folder(), folder);
        } else if (!installed.isEmpty()) {
            const VersionOrder order = compareVersions(manifest.version(), installed);
            if (order == VersionOrder::Lower)
                problem = QStringLiteral("downgrade refused: %1 is older than the installed %2").arg(manifest.version(), installed);
            else if (order == VersionOrder::Incomparable)
                problem = QStringLiteral("versions %1 and %2 cannot be compared").arg(manifest.version(), installed);
        }
        detail = QStringLiteral("key %1, %2").arg(check.keyId, check.trustedComment);
    }
    if (problem.isEmpty()) {
        logInfo(QStringLiteral("发布包签名验证通过: 版本 %1, 密钥 %2").arg(check.manifest.version(), check.keyId));
        return QString();
    }
    logError(QStringLiteral("发布包验证失败，拒绝安装: ") + problem + QStringLiteral(" (") + detail + QLatin1Char(')'));
    return problem;
}

QString CControler::missingUpdateHelper() const
{
    if (!QFileInfo(tempDirPath() + QLatin1String(FileOps::UpdaterFileName)).isFile())
        return QString();
    const QString name = CSystemConfig::instance().updateHelperExe();
    const QString path = CSystemConfig::appDirPath() + QLatin1Char('/') + name;
    if (name.trimmed().isEmpty())
        return QStringLiteral("[Update] UpdateHelperExe");
    return QFileInfo(path).isFile() ? QString() : path;
}

void CControler::failDownload(const QString &reason, bool cancelled)
{
    success = false;
    errorText = reason;
    if (cancelled)
        logWarn(QStringLiteral("更新已取消，未做任何更改"));
    else
        logError(QStringLiteral("下载更新失败，未做任何更改: ") + reason);
    clearBackupDir();
    clearTempDir();
    endWithFailure(ExitCode::UpdateFailed, cancelled);
}

void CControler::endWithFailure(int code, bool immediately)
{
    if (runMode == RunMode::Console || immediately || m_cancelRequested || !isAnyWindowVisible()) {
        if (httpDialog)
            httpDialog->hide();
        if (tcpWindow)
            tcpWindow->hide();
        finish(code);
        return;
    }
    // GUI mode: the window keeps telling what went wrong until the user closes it.
    m_exitCode = code;
    m_phase = Phase::AwaitingClose;
}

void CControler::finish(int code)
{
    m_exitCode = code;
    m_phase = Phase::Finished;
    emit finished(code);
}

CControler::ApplyResult CControler::applyDownload()
{
    if (!backupFiles())
        return ApplyResult::NotApplied;

    // Without the marker a crash while replacing could not be repaired at the next start.
    if (!installer.markReplaceInProgress())
        return ApplyResult::NotApplied;

    if (replaceFiles()) {
        recordInstalledVersion();
        installer.clearReplaceMarker();
        return ApplyResult::Applied;
    }
    const bool restored = rollbackFiles();
    // After a failed rollback the marker stays, so that the next start tries the restore again.
    if (restored || !QFileInfo::exists(backupDirPath()))
        installer.clearReplaceMarker();
    return restored ? ApplyResult::RolledBack : ApplyResult::RestoreFailed;
}

void CControler::recordInstalledVersion()
{
    if (m_versionToRecord.isEmpty())
        return;
    QString error;
    if (CSystemConfig::writeInstalledVersion(CSystemConfig::instance().filePath(), m_versionToRecord, &error))
        logInfo(QStringLiteral("已记录安装版本: ") + m_versionToRecord);
    else
        logError(QStringLiteral("无法记录安装版本: ") + error);
}

bool CControler::recoverInterruptedApply()
{
    if (!installer.replaceWasInterrupted())
        return true;

    logWarn(QStringLiteral("上次更新未完成（替换文件时中断），正在从备份恢复:") + backupDirPath());
    if (!rollbackFiles()) {
        logError(QStringLiteral("上次更新未完成，从备份恢复失败，保留临时目录和备份目录"));
        return false;
    }
    installer.clearReplaceMarker();
    logInfo("上次未完成的更新已回退");
    return true;
}

QJsonObject CControler::buildResultJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("success"), success);
    object.insert(QStringLiteral("update"), updateAvailable);
    object.insert(QStringLiteral("errormsg"), errorText);
    return object;
}

void CControler::printResultJson(const QJsonObject &object)
{
    writeConsoleLine(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
