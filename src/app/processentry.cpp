#include "processentry.h"

#include "app/exitcodes.h"
#include "app/logging.h"
#include "app/version.h"
#include "config/systemconfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTextStream>

#include <memory>

namespace {

constexpr const char *kInstanceKeySuffix = "SystemObject_Update";
constexpr const char *kSemaphoreSuffix = "_sem";
constexpr const char *kMarkerSuffix = "_mem";
constexpr int kMarkerSize = 1; // only the segment's existence matters
constexpr const char *kLogFileName = "update.log";
constexpr const char *kNoArgumentBoxVariable = "UPDATE_NO_ARGUMENT_BOX";

// Creates the marker segment in marker. Outside Windows a segment survives a process that was
// killed: attaching and detaching again removes a segment that nobody else holds any more,
// while a live owner keeps it attached, so the second create() still fails for a real owner.
// The caller holds the guard semaphore.
bool createMarker(QSharedMemory &marker)
{
    bool created = marker.create(kMarkerSize, QSharedMemory::ReadWrite);
#ifndef Q_OS_WIN
    if (!created && marker.error() == QSharedMemory::AlreadyExists && marker.attach()) {
        marker.detach();
        created = marker.create(kMarkerSize, QSharedMemory::ReadWrite);
    }
#endif
    return created;
}

} // namespace

QString argumentReportText(const QStringList &arguments)
{
    QString text = QStringLiteral("命令行参数列表（共 ") + QString::number(arguments.size()) + QStringLiteral(" 个）：\n\n");
    for (int i = 0; i < arguments.size(); ++i)
        text += QStringLiteral("argv[%1]: \"%2\"").arg(i).arg(arguments.at(i)) + QLatin1Char('\n');
    return text;
}

void reportArguments(const QStringList &arguments)
{
    if (qEnvironmentVariable(kNoArgumentBoxVariable) != QLatin1String("1")) {
        QMessageBox::information(nullptr, QStringLiteral("调试信息 - 命令行参数"), argumentReportText(arguments),
                                 QMessageBox::Ok);
    }
    logDebug("Command Line Arguments:");
    for (int i = 0; i < arguments.size(); ++i)
        logDebug(QStringLiteral("argv[") + QString::number(i) + QStringLiteral("] =") + arguments.at(i));
}

QString instanceKey()
{
    return instanceKeyFor(QCoreApplication::applicationFilePath());
}

QString instanceKeyFor(const QString &executablePath)
{
    return QDir::toNativeSeparators(executablePath) + QLatin1String(kInstanceKeySuffix);
}

bool acquireSingleInstance(const QString &key)
{
    QSystemSemaphore semaphore(key + QLatin1String(kSemaphoreSuffix), 1, QSystemSemaphore::Open);
    semaphore.acquire();

    // Lives as long as the process, so the marker stays attached until the process ends.
    static std::unique_ptr<QSharedMemory> marker;
    if (!marker)
        marker = std::make_unique<QSharedMemory>(key + QLatin1String(kMarkerSuffix));

    const bool owned = createMarker(*marker);
    semaphore.release();
    return owned;
}

bool isSingleInstanceHeld(const QString &key)
{
    QSystemSemaphore semaphore(key + QLatin1String(kSemaphoreSuffix), 1, QSystemSemaphore::Open);
    semaphore.acquire();
    QSharedMemory probe(key + QLatin1String(kMarkerSuffix));
    const bool free = createMarker(probe);
    if (free)
        probe.detach(); // the last detach removes the segment again
    semaphore.release();
    return !free;
}

void startLogging()
{
    const QString path = CSystemConfig::appDirPath() + QLatin1Char('/') + CSystemConfig::instance().logPath()
        + QLatin1String(kLogFileName);
    initLogging(path.toUtf8());
    logInfo("Update started");
    logDebug(QStringLiteral("版本:") + updaterVersion());
}

QString informationRequest(const QStringList &arguments)
{
    const QStringList rest = arguments.mid(1);
    if (rest.contains(QLatin1String("--version")))
        return QStringLiteral("update.exe ") + updaterVersion() + QLatin1Char('\n');
    if (!rest.contains(QLatin1String("--help")) && !rest.contains(QLatin1String("-h"))
        && !rest.contains(QLatin1String("/?")))
        return QString();
    return QStringLiteral(
               "用法:\n"
               "  update.exe                 检查更新；有新版本时下载并安装，然后启动主程序\n"
               "  update.exe console         同上，并在标准输出写一行JSON结果:\n"
               "                             {\"errormsg\":\"\",\"success\":true,\"update\":true}\n"
               "  update.exe updatehelper HelperSuccess|HelperFaile\n"
               "                             自我更新的第二阶段，由升级助手启动\n"
               "  update.exe --help          显示本说明\n"
               "  update.exe --version       显示版本\n"
               "设置在程序目录下的 system.cfg 中。\n"
               "退出码: %1 已是最新或已更新, %2 无法启动, %3 检查更新失败,\n"
               "        %4 下载或安装失败(已恢复原文件), %5 恢复失败(下次启动时重试)\n")
        .arg(ExitCode::Ok)
        .arg(ExitCode::CouldNotStart)
        .arg(ExitCode::CheckFailed)
        .arg(ExitCode::UpdateFailed)
        .arg(ExitCode::RestoreFailed);
}

QByteArray consoleFailureLine()
{
    QJsonObject result;
    result.insert(QStringLiteral("errormsg"), QStringLiteral("Controller initialization failed"));
    result.insert(QStringLiteral("success"), false);
    result.insert(QStringLiteral("update"), true);
    return QJsonDocument(result).toJson(QJsonDocument::Compact);
}

void writeConsoleLine(const QByteArray &compactJson)
{
    // The stream's default codec is the locale's, which is what a host program reading our
    // standard output expects (GBK on a Chinese Windows).
    QTextStream out(stdout);
    out << QString::fromUtf8(compactJson) << Qt::endl;
}

void writeConsoleText(const QString &text)
{
    QTextStream out(stdout);
    out << text;
    out.flush();
}
