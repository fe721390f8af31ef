#include "fileops/workdirs.h"

#include "app/logging.h"
#include "config/systemconfig.h"
#include "fileops/fileopsconstants.h"
#include "fileops/pathrules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString withSlash(const QString &path)
{
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

// A configured directory as an absolute path: a relative one below appDir.
QString resolve(const QString &appDir, const QString &setting)
{
    if (setting.isEmpty())
        return QString();
    return withSlash(QDir::isRelativePath(setting) ? appDir + setting : setting);
}

} // namespace

WorkDirs::WorkDirs(const QString &appDir, const QString &temp, const QString &backup, const QStringList &keptDirs)
    : m_appDir(appDir.isEmpty() ? QString() : withSlash(appDir))
    , m_tempSetting(temp)
    , m_backupSetting(backup)
    , m_keptDirs(keptDirs)
    , m_tempDir(resolve(m_appDir, temp))
    , m_backupDir(resolve(m_appDir, backup))
{
}

WorkDirs WorkDirs::fromConfig()
{
    const CSystemConfig &config = CSystemConfig::instance();
    QStringList kept{QLatin1String(FileOps::UpdateSubDir)};
    // The folder of the log file; the application directory itself when the log lies there.
    const QString logDir = QFileInfo(config.logPath() + QStringLiteral("update.log")).path();
    if (pathProblem(logDir, PathKind::WorkDirectory).isEmpty())
        kept << logDir;
    return WorkDirs(CSystemConfig::appDirPath(), config.tempPath(), config.backupPath(), kept);
}

QString WorkDirs::updateDir() const
{
    return m_appDir + QLatin1String(FileOps::UpdateSubDir);
}

QString WorkDirs::replaceMarkerPath() const
{
    return m_appDir + QLatin1String(FileOps::ReplaceMarkerFileName);
}

QString WorkDirs::settingsProblem(QString *key, QString *value) const
{
    auto report = [&](const char *name, const QString &setting, const QString &problem) {
        if (key)
            *key = QStringLiteral("[Paths] ") + QLatin1String(name);
        if (value)
            *value = setting;
        return problem;
    };
    const struct
    {
        const char *name;
        const QString &setting;
    } settings[] = {{"Temp", m_tempSetting}, {"Backup", m_backupSetting}};
    for (const auto &s : settings) {
        const QString problem = pathProblem(s.setting, PathKind::WorkDirectory);
        if (!problem.isEmpty())
            return report(s.name, s.setting, problem);
    }
    if (directoriesOverlap(m_tempSetting, m_backupSetting))
        return report("Backup", m_backupSetting, QStringLiteral("overlaps [Paths] Temp"));
    // Both are removed at every start: they may not hold, or lie in, a folder the program keeps.
    for (const QString &kept : m_keptDirs) {
        for (const auto &s : settings) {
            if (directoriesOverlap(s.setting, kept))
                return report(s.name, s.setting, QStringLiteral("overlaps %1, which the program keeps").arg(kept));
        }
    }
    return QString();
}

bool WorkDirs::isWorkDirectory(const QString &path) const
{
    if (path.isEmpty() || m_appDir.isEmpty())
        return false;
    const QString root = QDir::cleanPath(m_appDir);
    const QString cleaned = QDir::cleanPath(path);
    if (cleaned.compare(root, FileSystemCase) == 0 || !isSameOrInside(cleaned, root))
        return false;

    // Lexically inside; a linked directory on the way could still lead elsewhere. The nearest
    // existing ancestor must really be the installation or lie inside it. The last component may
    // itself be a link: removing it removes only the link.
    QString ancestor = QFileInfo(cleaned).absolutePath();
    while (!QFileInfo::exists(ancestor) && ancestor.compare(root, FileSystemCase) != 0)
        ancestor = QFileInfo(ancestor).absolutePath();
    const QString realRoot = QFileInfo(root).canonicalFilePath();
    const QString realAncestor = QFileInfo(ancestor).canonicalFilePath();
    return !realRoot.isEmpty() && !realAncestor.isEmpty() && isSameOrInside(realAncestor, realRoot);
}

QString WorkDirs::usabilityProblem() const
{
    for (const QString &dir : {m_tempDir, m_backupDir}) {
        if (dir.isEmpty())
            return QStringLiteral("(未配置)");
        if (!isWorkDirectory(dir))
            return dir;
    }
    const QString temp = QDir::cleanPath(m_tempDir);
    const QString backup = QDir::cleanPath(m_backupDir);
    if (isSameOrInside(temp, backup) || isSameOrInside(backup, temp))
        return m_tempDir + QStringLiteral(" / ") + m_backupDir;
    return QString();
}

void WorkDirs::remove(const QString &path) const
{
    if (!isWorkDirectory(path)) {
        logError(QStringLiteral("拒绝删除不安全的目录:") + path);
        return;
    }
    // Without the trailing "/" the file system reports the link itself, not its target.
    const QString cleaned = QDir::cleanPath(path);
    const QFileInfo info(cleaned);
    if (info.isSymLink()) {
        // removeRecursively() on a link would empty the directory it points to.
        if (!QFile::remove(cleaned))
            QDir().rmdir(cleaned);
        return;
    }
    if (info.isDir())
        QDir(cleaned).removeRecursively();
}
