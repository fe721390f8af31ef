// The steps that end an update: the self-update check and the delayed starts of CControler.

#include "app/controler.h"

#include "app/logging.h"
#include "config/systemconfig.h"
#include "fileops/fileopsconstants.h"
#include "fileops/util.h"

#include <QDir>
#include <QFileInfo>

#include <exception>

bool CControler::hasSelfUpdate() const
{
    if (tempDir.isEmpty() || !QDir(tempDir).exists()) {
        logError(QStringLiteral("临时目录不存在:") + tempDir);
        return false;
    }
    // Only the top level counts: an update.exe in a sub-directory is an ordinary file.
    const QString updater = tempDir + QLatin1String(FileOps::UpdaterFileName);
    if (QFileInfo(updater).isFile()) {
        logInfo(QStringLiteral("发现需要自我更新的update.exe文件:") + updater);
        return true;
    }
    logInfo("临时目录下没有update.exe文件，无需自我更新");
    return false;
}

bool CControler::launchHostProgram()
{
    return launchDelayed(CSystemConfig::instance().hostExe(), {});
}

bool CControler::launchUpdateHelper()
{
    // The helper learns from both arguments which file to replace with which.
    const QString updater = QLatin1String(FileOps::UpdaterFileName);
    return launchDelayed(CSystemConfig::instance().updateHelperExe(), {updater, updater});
}

bool CControler::launchDelayed(const QString &configuredName, const QStringList &launchArguments)
{
    const QString failure = QStringLiteral("Failed to launch main program: %1");
    // Without a name the path would be the installation directory itself.
    if (configuredName.trimmed().isEmpty()) {
        success = false;
        errorText = failure.arg(QStringLiteral("no program configured"));
        logError(QStringLiteral("未配置要启动的程序"));
        return false;
    }
    const QString program = CSystemConfig::appDirPath() + QLatin1Char('/') + configuredName;
    try {
        logInfo(QStringLiteral("延迟启动程序:") + program);
        UTIL::delayStartExe(program, launchArguments);
        return true;
    } catch (const std::exception &e) {
        success = false;
        errorText = failure.arg(QString::fromLocal8Bit(e.what()));
        logError(errorText);
        return false;
    }
}
