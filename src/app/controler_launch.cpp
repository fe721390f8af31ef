// The steps that end an update: the delayed starts of CControler.

#include "app/controler.h"

#include "app/logging.h"
#include "config/systemconfig.h"
#include "fileops/fileopsconstants.h"
#include "fileops/util.h"

#include <exception>

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
