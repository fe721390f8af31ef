#include "helper/updatehelper.h"

#include "app/logging.h"
#include "app/processentry.h"
#include "app/version.h"
#include "config/systemconfig.h"
#include "fileops/pathrules.h"
#include "fileops/util.h"
#include "fileops/workdirs.h"
#include "helper/filereplacer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <QDir>
#include <windows.h>
#endif

namespace {

// On Windows the image of a running program cannot be opened for writing: a second sign, besides
// the marker, that update.exe still runs (the marker's key depends on how the path was spelt).
bool isOpenElsewhere(const QString &path)
{
#ifdef Q_OS_WIN
    const HANDLE handle = CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(),
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return false;
#else
    Q_UNUSED(path)
    return false;
#endif
}

bool sameFileName(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    return a.compare(b, Qt::CaseInsensitive) == 0;
#else
    return a == b;
#endif
}

} // namespace

CUpdateHelper::CUpdateHelper(const QString &appDir)
    : m_appDir(appDir)
{
}

void CUpdateHelper::startLogging()
{
    const QString path = CSystemConfig::appDirPath() + QLatin1Char('/') + CSystemConfig::instance().logPath()
        + QLatin1String(Helper::LogFileName);
    initLogging(path.toUtf8());
}

Helper::ExitCode CUpdateHelper::run(const QStringList &arguments)
{
    using Helper::ExitCode;
    logInfo(QStringLiteral("updatehelper 启动, 版本 ") + updaterVersion() + QStringLiteral(", 参数: ")
            + arguments.join(QLatin1Char(' ')));

    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (arguments.size() != 2 || !isPlainFileName(arguments.at(0)) || !isPlainFileName(arguments.at(1))
        || sameFileName(arguments.at(1), self)) {
        logError(QStringLiteral("参数错误，应为临时目录中的新文件名和安装目录中的文件名，例如 update.exe update.exe: ")
                 + arguments.join(QLatin1Char(' ')));
        return ExitCode::BadArguments;
    }
    const QString installed = m_appDir + QLatin1Char('/') + arguments.at(1);

    if (!waitUntilEnded(installed)) {
        logError(QStringLiteral("等待程序退出超时(%1 ms):").arg(m_waitTimeoutMs) + installed);
        return handBack(ExitCode::UpdaterStillRunning, installed);
    }

    const QString temp = CSystemConfig::instance().tempPath();
    if (!pathProblem(temp, PathKind::WorkDirectory).isEmpty()) {
        logError(QStringLiteral("[Paths] Temp 不是安装目录下的子目录:") + temp);
        return handBack(ExitCode::ReplaceFailed, installed);
    }
    const QString fresh = WorkDirs(m_appDir, temp, QString()).tempDir() + arguments.at(0);

    logInfo(QStringLiteral("开始替换:") + fresh + QStringLiteral("->") + installed);
    CFileReplacer replacer(fresh, installed);
    replacer.setAfterRenameHook(m_afterRename);
    const CFileReplacer::Outcome outcome = replacer.replace();
    if (outcome == CFileReplacer::Outcome::Replaced) {
        logInfo(QStringLiteral("替换完成，内容已逐字节核对:") + installed);
        return handBack(ExitCode::Replaced, installed);
    }
    const bool restored = outcome == CFileReplacer::Outcome::NotReplaced;
    logError((restored ? QStringLiteral("替换失败，原文件保持不变: ") : QStringLiteral("替换失败，且无法恢复原文件: "))
             + replacer.errorString());
    return handBack(restored ? ExitCode::ReplaceFailed : ExitCode::RestoreFailed, installed);
}

bool CUpdateHelper::waitUntilEnded(const QString &path) const
{
    const QString key = updaterInstanceKey(path);
    logInfo(QStringLiteral("等待程序退出:") + path);
    const QDeadlineTimer deadline(m_waitTimeoutMs);
    for (;;) {
        if (!isSingleInstanceHeld(key) && !isOpenElsewhere(path)) {
            logInfo(QStringLiteral("程序已退出:") + path);
            return true;
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(static_cast<unsigned long>(qBound<qint64>(1, deadline.remainingTime(), Helper::UpdaterExitPollMs)));
    }
}

QString CUpdateHelper::updaterInstanceKey(const QString &path)
{
    // update.exe builds its key from its own path as the system reports it, with links resolved.
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return instanceKeyFor(canonical.isEmpty() ? info.absoluteFilePath() : canonical);
}

bool CUpdateHelper::isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.endsWith(QLatin1Char(' '))
        || name.endsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || QStringLiteral("<>:\"/\\|?*").contains(c))
            return false;
    }
    return true;
}

Helper::ExitCode CUpdateHelper::handBack(Helper::ExitCode code, const QString &updater) const
{
    const QString outcome = QLatin1String(code == Helper::ExitCode::Replaced ? Helper::SuccessArgument : Helper::FailureArgument);
    const QStringList arguments{QLatin1String(Helper::HelperModeArgument), outcome};
    logInfo(QStringLiteral("启动:") + updater + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')));
    if (!UTIL::startDetached(updater, arguments)) {
        logError(QStringLiteral("无法启动:") + updater);
        return Helper::ExitCode::StartFailed;
    }
    return code;
}
