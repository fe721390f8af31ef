#include "app/controler.h"

#include "app/logging.h"
#include "app/processentry.h"
#include "app/updatemodel.h"
#include "config/systemconfig.h"
#include "fileops/fileoperationmanager.h"
#include "fileops/fileopsconstants.h"
#include "http/widget.h"
#include "tcp/updatewidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTimer>

namespace {

constexpr const char *kArgConsole = "console";
constexpr const char *kArgHelper = "updatehelper";
constexpr const char *kArgHelperSuccess = "HelperSuccess";

} // namespace

CControler::CControler(QObject *parent)
    : QObject(parent)
    , appDir(CSystemConfig::appDirPath() + QLatin1Char('/'))
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
    // Released here rather than by the QObject base, which would delete them as children later.
    fileOperationManager.reset();
    model.reset();
}

bool CControler::initialize()
{
    httpDialog = new Widget();
    tcpWindow = new UpdateWidget();

    model = std::make_unique<CUpdateModel>(this);
    model->setWindows(httpDialog, tcpWindow);
    connect(model.get(), &CUpdateModel::sigUpdateResult, this, &CControler::onUpdateResult);

    // Both working directories are removed recursively at every start; a value that could make
    // that remove the installation, or anything outside it, stops the program here.
    QString key;
    QString value;
    if (!CSystemConfig::instance().workDirsAreSafe(&key, &value)) {
        logError(QStringLiteral("工作目录配置不安全，拒绝启动: ") + key + QStringLiteral("=") + value);
        return false;
    }
    return initFileOperations();
}

bool CControler::initFileOperations()
{
    if (!ensureFileOperations().init()) {
        logError("文件操作管理器初始化失败");
        return false;
    }
    setupDirs();
    return true;
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

void CControler::run()
{
    if (runMode == RunMode::Helper)
        return;

    if (!recoverInterruptedApply()) {
        // The backup could not be put back: keep it, and do not start another update on top.
        success = false;
        if (errorText.isEmpty())
            errorText = QStringLiteral("上次更新未完成，从备份恢复失败");
        if (runMode == RunMode::Console)
            printResultJson(buildResultJson());
        return;
    }

    clearBackupDir();
    clearTempDir();

    const int result = startUpdateCheck();
    updateAvailable = (result == CUpdateModel::UpdateAvailable);
    errorText = model->errorText();
    success = (result != CUpdateModel::NoTransport);

    if (runMode == RunMode::Console)
        printResultJson(buildResultJson());

    if (result == CUpdateModel::NoUpdate && runMode == RunMode::Gui)
        launchHostProgram();
    else if (result == CUpdateModel::UpdateAvailable)
        (void)beginUpdate(); // a window stays open either way; the result arrives by signal
}

void CControler::runHelperMode()
{
    if (runMode != RunMode::Helper)
        return;
    if (!recoverInterruptedApply())
        return;

    if (helperOutcome(arguments) == 0) {
        clearBackupDir();
        clearTempDir();
        launchHostProgram();
    } else if (!rollbackFiles()) {
        // The installation holds the new files and the backup the only copy of the old ones:
        // the next start must try the restore again before it clears anything.
        (void)markReplaceInProgress();
    }
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

void CControler::onUpdateResult(bool bSuccess)
{
    if (!bSuccess)
        return;
    if (!applyDownload())
        return;

    if (hasSelfUpdate()) {
        // temp holds the new update.exe for the helper; backup stays for a rollback.
        launchUpdateHelper();
    } else {
        clearBackupDir();
        clearTempDir();
        launchHostProgram();
    }
    requestQuit();
}

bool CControler::applyDownload()
{
    if (!backupFiles())
        return false;

    // Without the marker a crash while replacing could not be repaired at the next start.
    if (!markReplaceInProgress())
        return false;

    const bool replaced = replaceFiles();
    if (!replaced)
        rollbackFiles();
    // After a failed rollback the marker stays, so that the next start tries the restore again.
    if (replaced || !QFileInfo::exists(backupDir))
        QFile::remove(replaceMarkerPath());
    return replaced;
}

bool CControler::markReplaceInProgress()
{
    QSaveFile marker(replaceMarkerPath());
    if (!marker.open(QIODevice::WriteOnly) || marker.write(backupDir.toUtf8() + '\n') < 0 || !marker.commit()) {
        logError(QStringLiteral("无法写入更新进行中标记:") + replaceMarkerPath());
        return false;
    }
    return true;
}

QString CControler::replaceMarkerPath() const
{
    // Not in update/: the HTTP dialog's clean-up empties that folder.
    return appDir + QLatin1String(FileOps::ReplaceMarkerFileName);
}

bool CControler::recoverInterruptedApply()
{
    if (!QFileInfo::exists(replaceMarkerPath()))
        return true;

    logWarn(QStringLiteral("上次更新未完成（替换文件时中断），正在从备份恢复:") + backupDir);
    if (!rollbackFiles()) {
        logError(QStringLiteral("上次更新未完成，从备份恢复失败，保留临时目录和备份目录"));
        return false;
    }
    QFile::remove(replaceMarkerPath());
    logInfo("上次未完成的更新已回退");
    return true;
}

void CControler::requestQuit()
{
    m_quitRequested = true;
    // A queued call takes effect once the event loop runs: at once with the HTTP transport,
    // whose download runs inside the loop, and as soon as the loop is entered after a TCP
    // download, which ends before it.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::quit();
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
