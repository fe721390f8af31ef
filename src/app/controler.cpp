#include "app/controler.h"

#include "app/logging.h"
#include "config/systemconfig.h"
#include "fileops/fileoperationmanager.h"

CControler::CControler(QObject *parent)
    : QObject(parent)
    , appDir(CSystemConfig::appDirPath() + QLatin1Char('/'))
{
}

CControler::~CControler()
{
    // Released here rather than by the QObject base, which would delete it as a child later.
    fileOperationManager.reset();
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
