#include "fileops/installer.h"

#include "app/logging.h"
#include "fileops/fileoperationmanager.h"
#include "fileops/fileopsconstants.h"
#include "fileops/pathrules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QVector>

#include <algorithm>

namespace {

constexpr QDir::Filters kEntryFilter = QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot;

// The top level of the download, unsorted; empty when the directory is missing.
QFileInfoList downloadEntries(const QString &dir)
{
    return QDir(dir).entryInfoList(kEntryFilter, QDir::NoSort);
}

// True when a top-level download entry is the special file of that name: on Windows, where the
// file system ignores letter case, Update.exe is the updater and MD5.TXT the list.
bool sameName(const QString &name, const char *special)
{
    return name.compare(QLatin1String(special), FileSystemCase) == 0;
}

bool existsOrIsLink(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Saves one installed file before the download replaces it. A file the download adds has nothing
// to save. A copy already in the backup was taken from the untouched installation earlier in this
// run (a sub-directory entry and a special file can name the same file) and is kept.
bool saveInstalledFile(const QString &installed, const QString &saved)
{
    if (!QFileInfo::exists(installed))
        return true;
    if (QFileInfo(saved).isFile())
        return true;
    QDir().mkpath(QFileInfo(saved).absolutePath());
    if (QFile::copy(installed, saved))
        return true;
    logError(QStringLiteral("备份文件失败:") + installed + QStringLiteral("->") + saved);
    return false;
}

QString updateSubDirFile(const QString &dir, const char *name)
{
    return dir + QLatin1String(FileOps::UpdateSubDir) + QLatin1String(name);
}

} // namespace

Installer::Installer(const WorkDirs &dirs)
    : m_dirs(dirs)
{
}

Installer::~Installer() = default;

CFileOperationManager &Installer::fileOperations()
{
    if (!m_fileOperations)
        m_fileOperations = std::make_unique<CFileOperationManager>();
    return *m_fileOperations;
}

bool Installer::init()
{
    return fileOperations().init();
}

void Installer::removeStalePendingFiles()
{
    for (const char *name : {FileOps::PendingVersionFileName, FileOps::PendingMd5FileName}) {
        const QString path = updateSubDirFile(m_dirs.appDir(), name);
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            continue;
        if (QFile::remove(path))
            logInfo(QStringLiteral("删除上次遗留的待安装文件:") + path);
        else
            logError(QStringLiteral("无法删除上次遗留的待安装文件:") + path);
    }
}

void Installer::clearTempDir()
{
    m_dirs.remove(m_dirs.tempDir());
}

void Installer::clearBackupDir()
{
    m_dirs.remove(m_dirs.backupDir());
}

bool Installer::downloadIsApplicable() const
{
    const QString temp = QDir::cleanPath(m_dirs.tempDir());
    const QString backup = QDir::cleanPath(m_dirs.backupDir());
    const QFileInfoList entries = downloadEntries(m_dirs.tempDir());
    for (const QFileInfo &entry : entries) {
        // Copied over the installation, such an entry would overwrite the backup, the download
        // itself or the replace marker, and a later rollback would restore the wrong bytes.
        const QString target = QDir::cleanPath(m_dirs.appDir() + entry.fileName());
        if (isSameOrInside(temp, target) || isSameOrInside(backup, target)
            || entry.fileName().compare(QLatin1String(FileOps::ReplaceMarkerFileName), FileSystemCase) == 0) {
            logError(QStringLiteral("下载内容与工作目录冲突，拒绝应用:") + entry.filePath());
            return false;
        }
    }
    return true;
}

bool Installer::workDirsAreUsable() const
{
    const QString problem = m_dirs.usabilityProblem();
    if (!problem.isEmpty())
        logError(QStringLiteral("工作目录不安全:") + problem);
    return problem.isEmpty();
}

bool Installer::copyFile(const QString &src, const QString &dst)
{
    return installFile(src, dst, false);
}

bool Installer::installFile(const QString &src, const QString &dst, bool move)
{
    QDir().mkpath(QFileInfo(dst).absolutePath());
    // A download carries no file modes: the replaced file's (an executable stays executable).
    const QFileInfo installed(dst);
    const bool keepMode = installed.isFile() && !installed.isSymLink();
    const QFile::Permissions mode = keepMode ? installed.permissions() : QFile::Permissions();
    if (existsOrIsLink(dst) && !QFile::remove(dst)) {
        logError(QStringLiteral("无法删除现有文件:") + dst);
        return false;
    }
    // Moving a downloaded file into place costs a rename; copying costs a new file. The download
    // is not needed once it is installed, so the replace moves where it can.
    if ((move && QFile::rename(src, dst)) || QFile::copy(src, dst)) {
        if (keepMode && !QFile::setPermissions(dst, mode))
            logWarn(QStringLiteral("无法保留文件权限:") + dst);
        logInfo(QStringLiteral("文件复制成功:") + src + QStringLiteral("->") + dst);
        return true;
    }
    logError(QStringLiteral("文件复制失败:") + src + QStringLiteral("->") + dst);
    return false;
}

bool Installer::copyDirectory(const QString &src, const QString &dst)
{
    return installDirectory(src, dst, false);
}

bool Installer::installDirectory(const QString &src, const QString &dst, bool move)
{
    const QDir source(src);
    if (!source.exists()) {
        logError(QStringLiteral("源目录不存在，无法拷贝:") + src);
        return false;
    }
    if (!QDir(dst).exists() && !QDir().mkpath(dst)) {
        logError(QStringLiteral("无法创建目标目录:") + dst);
        return false;
    }
    const QFileInfoList entries = source.entryInfoList(kEntryFilter, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString target = dst + QLatin1Char('/') + entry.fileName();
        const bool copied = entry.isDir() ? installDirectory(entry.filePath(), target, move)
                                          : installFile(entry.filePath(), target, move);
        if (!copied)
            return false;
    }
    return true;
}

bool Installer::backupDirectory(const QString &listDir, const QString &installDir, const QString &backupDir)
{
    const QDir list(listDir);
    if (!list.exists()) {
        logError(QStringLiteral("源目录不存在，无法备份:") + listDir);
        return false;
    }
    // The backup mirrors every directory of the download, even where nothing is saved.
    QDir().mkpath(backupDir);
    const QFileInfoList entries = list.entryInfoList(kEntryFilter, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString installPath = installDir + QLatin1Char('/') + entry.fileName();
        const QString backupPath = backupDir + QLatin1Char('/') + entry.fileName();
        const bool saved = entry.isDir() ? backupDirectory(entry.filePath(), installPath, backupPath)
                                         : saveInstalledFile(installPath, backupPath);
        if (!saved)
            return false;
    }
    return true;
}

bool Installer::backupFiles()
{
    logInfo("开始执行文件备份操作");
    if (!workDirsAreUsable() || !downloadIsApplicable())
        return false;
    QDir().mkpath(m_dirs.backupDir());

    if (!QDir(m_dirs.tempDir()).exists())
        logError(QStringLiteral("临时目录不存在:") + m_dirs.tempDir());
    const QFileInfoList entries = downloadEntries(m_dirs.tempDir());

    for (const QFileInfo &entry : qAsConst(entries)) {
        const QString name = entry.fileName();
        if (sameName(name, FileOps::UpdaterFileName) || sameName(name, FileOps::VersionFileName)
            || sameName(name, FileOps::Md5FileName))
            continue;
        const QString installed = m_dirs.appDir() + name;
        const QString saved = m_dirs.backupDir() + name;
        const bool ok = entry.isDir() ? backupDirectory(entry.filePath(), installed, saved)
                                      : saveInstalledFile(installed, saved);
        // Nothing may be replaced that could not be saved first.
        if (!ok)
            return false;
    }

    if (!backupSpecialFiles()) {
        logError("备份特殊文件失败");
        return false;
    }
    if (!recordAddedPaths())
        return false;
    logInfo("文件备份操作完成");
    return true;
}

void Installer::collectAddedPaths(const QFileInfo &downloaded, const QString &rel, QStringList &added) const
{
    const QFileInfo installed(m_dirs.appDir() + rel);
    const bool exists = installed.exists() || installed.isSymLink();
    if (!downloaded.isDir()) {
        if (!exists)
            added << rel;
        return;
    }
    if (!exists)
        added << rel + QLatin1Char('/');
    const QFileInfoList entries = QDir(downloaded.filePath()).entryInfoList(kEntryFilter, QDir::NoSort);
    for (const QFileInfo &entry : entries)
        collectAddedPaths(entry, rel + QLatin1Char('/') + entry.fileName(), added);
}

bool Installer::recordAddedPaths()
{
    // What the replace will create where nothing was installed; a rollback removes it again, so
    // that a failed update leaves the old installation and nothing of the new one.
    QStringList added;
    const QFileInfoList entries = downloadEntries(m_dirs.tempDir());
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (name == QLatin1String(FileOps::UpdaterFileName))
            continue;
        QString target = name;
        if (name == QLatin1String(FileOps::VersionFileName))
            target = QLatin1String(FileOps::UpdateSubDir) + name;
        collectAddedPaths(entry, target, added);
    }
    const struct
    {
        const char *pending;
        QString target;
    } specials[] = {
        {FileOps::PendingVersionFileName, QLatin1String(FileOps::UpdateSubDir) + QLatin1String(FileOps::VersionFileName)},
        {FileOps::PendingMd5FileName, QLatin1String(FileOps::Md5FileName)},
    };
    for (const auto &special : specials) {
        if (QFileInfo::exists(updateSubDirFile(m_dirs.appDir(), special.pending)) && !QFileInfo::exists(m_dirs.appDir() + special.target)
            && !added.contains(special.target))
            added << special.target;
    }

    QSaveFile list(m_dirs.backupDir() + QLatin1String(FileOps::AddedListFileName));
    const QByteArray bytes = added.isEmpty() ? QByteArray() : added.join(QLatin1Char('\n')).toUtf8() + '\n';
    if (!list.open(QIODevice::WriteOnly) || list.write(bytes) != bytes.size() || !list.commit()) {
        logError(QStringLiteral("无法记录更新新增的文件:") + list.fileName());
        return false;
    }
    return true;
}

bool Installer::removeAddedPaths()
{
    QFile list(m_dirs.backupDir() + QLatin1String(FileOps::AddedListFileName));
    if (!list.exists())
        return true;
    if (!list.open(QIODevice::ReadOnly)) {
        m_lastError = QStringLiteral("无法读取更新新增的文件列表: ") + list.fileName();
        return false;
    }
    QStringList files;
    QStringList dirs;
    const QList<QByteArray> lines = list.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QString rel = QString::fromUtf8(line);
        // Only what this program wrote there is acted on: relative paths inside the installation.
        const QString listPath = QLatin1Char('/') + (rel.endsWith(QLatin1Char('/')) ? rel.chopped(1) : rel);
        if (rel.isEmpty() || !pathProblem(listPath, PathKind::ListPath).isEmpty())
            continue;
        (rel.endsWith(QLatin1Char('/')) ? dirs : files) << rel;
    }
    for (const QString &rel : qAsConst(files)) {
        const QString path = m_dirs.appDir() + rel;
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            continue;
        if (info.isDir() && !info.isSymLink()) {
            dirs << rel + QLatin1Char('/');
            continue;
        }
        if (!QFile::remove(path)) {
            m_lastError = QStringLiteral("删除更新新增的文件失败: ") + path;
            return false;
        }
        logInfo(QStringLiteral("删除更新新增的文件:") + path);
    }
    // Deepest first; a folder that holds anything else stays.
    std::sort(dirs.begin(), dirs.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &rel : qAsConst(dirs)) {
        const QString path = QDir::cleanPath(m_dirs.appDir() + rel);
        if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink() && QDir().rmdir(path))
            logInfo(QStringLiteral("删除更新新增的目录:") + path);
    }
    return true;
}

bool Installer::backupSpecialFiles()
{
    struct Special
    {
        QString source;
        QString target;
        const char *failure;
        const char *done;
    };
    QVector<Special> specials = {
        {updateSubDirFile(m_dirs.appDir(), FileOps::VersionFileName), updateSubDirFile(m_dirs.backupDir(), FileOps::VersionFileName),
         "备份update.ini失败:", "备份update.ini成功:"},
        {m_dirs.appDir() + QLatin1String(FileOps::Md5FileName), m_dirs.backupDir() + QLatin1String(FileOps::Md5FileName),
         "备份md5.txt失败:", "备份md5.txt成功:"},
    };
    // system.cfg changes when the installed version is recorded; a rollback must bring back the
    // old one with the old files.
    if (m_backupConfig) {
        const QString config = QLatin1String(FileOps::ConfigFileName);
        specials.append({m_dirs.appDir() + config, m_dirs.backupDir() + config, "备份system.cfg失败:", "备份system.cfg成功:"});
    }
    for (const Special &special : qAsConst(specials)) {
        if (!QFileInfo::exists(special.source))
            continue;
        // Already saved from the untouched installation by the directory walk of this run.
        if (!QFileInfo(special.target).isFile()) {
            QDir().mkpath(QFileInfo(special.target).absolutePath());
            if (!QFile::copy(special.source, special.target)) {
                logError(QString::fromUtf8(special.failure) + special.source);
                return false;
            }
        }
        logInfo(QString::fromUtf8(special.done) + special.source + QStringLiteral("->") + special.target);
    }
    return true;
}

bool Installer::replaceFiles()
{
    logInfo("开始执行文件替换操作");
    if (!workDirsAreUsable() || !downloadIsApplicable())
        return false;

    const QFileInfoList entries = downloadEntries(m_dirs.tempDir());

    for (const QFileInfo &entry : qAsConst(entries)) {
        const QString name = entry.fileName();
        // The running updater is never overwritten; the update helper installs a new one.
        if (sameName(name, FileOps::UpdaterFileName))
            continue;
        const QString src = entry.absoluteFilePath();
        QString target = m_dirs.appDir() + name;
        if (sameName(name, FileOps::VersionFileName))
            target = updateSubDirFile(m_dirs.appDir(), FileOps::VersionFileName);
        else if (sameName(name, FileOps::Md5FileName))
            target = m_dirs.appDir() + QLatin1String(FileOps::Md5FileName);

        if (entry.isDir()) {
            if (!installDirectory(src, target, true)) {
                logError(QStringLiteral("复制目录失败:") + src + QStringLiteral("->") + target);
                return false;
            }
        } else if (!installFile(src, target, true)) {
            logError(QStringLiteral("替换文件失败:") + src + QStringLiteral("->") + target);
            return false;
        }
    }

    if (!replaceSpecialFiles()) {
        logError("替换特殊文件失败");
        return false;
    }
    logInfo("文件替换操作完成");
    return true;
}

bool Installer::replaceSpecialFiles()
{
    struct Pending
    {
        QString source;
        QString target;
        const char *failure;
        const char *done;
        const char *missing;
    };
    const Pending pendings[] = {
        {updateSubDirFile(m_dirs.appDir(), FileOps::PendingVersionFileName), updateSubDirFile(m_dirs.appDir(), FileOps::VersionFileName),
         "替换update.ini失败:", "替换update.ini成功:", "临时update.ini文件不存在:"},
        {updateSubDirFile(m_dirs.appDir(), FileOps::PendingMd5FileName), m_dirs.appDir() + QLatin1String(FileOps::Md5FileName),
         "替换md5.txt失败:", "替换md5.txt成功:", "临时md5.txt文件不存在:"},
    };
    // The pending files are copied, not moved: they stay until the transport writes new ones.
    for (const Pending &pending : pendings) {
        if (!QFileInfo::exists(pending.source)) {
            logWarn(QString::fromUtf8(pending.missing) + pending.source);
            continue;
        }
        const QString arrow = pending.source + QStringLiteral("->") + pending.target;
        if (!copyFile(pending.source, pending.target)) {
            logError(QString::fromUtf8(pending.failure) + arrow);
            return false;
        }
        logInfo(QString::fromUtf8(pending.done) + arrow);
    }
    return true;
}

bool Installer::rollbackFiles()
{
    m_lastError.clear();
    const QString source = m_dirs.backupDir();
    if (source.isEmpty()) {
        logError("备份目录未配置");
        return fail(QStringLiteral("备份目录未配置"));
    }
    // Restoring the installation onto itself would delete every file it copies.
    if (!m_dirs.isWorkDirectory(source)) {
        logError(QStringLiteral("工作目录不安全:") + source);
        return fail(QStringLiteral("工作目录不安全:") + source);
    }

    // Everything the backup holds but the list of added paths, which is not an installed file.
    QStringList saved = QDir(source).entryList(kEntryFilter, QDir::NoSort);
    saved.removeAll(QLatin1String(FileOps::AddedListFileName));
    CFileOperationManager &manager = fileOperations();
    if (!saved.isEmpty() && !manager.rollback(source, m_dirs.appDir(), saved)) {
        logError(QStringLiteral("回退文件失败:") + manager.lastError());
        return fail(manager.lastError());
    }
    if (!removeAddedPaths()) {
        logError(QStringLiteral("回退文件失败:") + m_lastError);
        return false;
    }
    clearTempDir();
    clearBackupDir();
    logInfo("文件回退完成");
    return true;
}

bool Installer::markReplaceInProgress()
{
    QSaveFile marker(m_dirs.replaceMarkerPath());
    if (!marker.open(QIODevice::WriteOnly) || marker.write(m_dirs.backupDir().toUtf8() + '\n') < 0 || !marker.commit()) {
        logError(QStringLiteral("无法写入更新进行中标记:") + m_dirs.replaceMarkerPath());
        return false;
    }
    return true;
}

void Installer::clearReplaceMarker()
{
    QFile::remove(m_dirs.replaceMarkerPath());
}

bool Installer::replaceWasInterrupted() const
{
    return QFileInfo::exists(m_dirs.replaceMarkerPath());
}

bool Installer::hasSelfUpdate() const
{
    const QString tempDir = m_dirs.tempDir();
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

bool Installer::fail(const QString &text)
{
    m_lastError = text;
    return false;
}
