#include "fileops/fileoperationmanager.h"

#include "app/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr QDir::Filters kEntryFilter = QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot;
constexpr qint64 kCompareBlockSize = 64 * 1024;

// True when both files can be read and hold the same bytes. A file the failed replace never got
// to still matches its backup; it must not be rewritten, since it may be the very file that made
// the replace fail (on Windows a program that has it open keeps it from being deleted).
bool sameContent(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (first.size() != second.size() || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    while (!first.atEnd()) {
        const QByteArray block = first.read(kCompareBlockSize);
        if (block.isEmpty() || block != second.read(kCompareBlockSize))
            return false;
    }
    return true;
}

// True when a file lies anywhere below dir. The backup mirrors every directory of a download,
// also where nothing was saved; such a directory has nothing to put back.
bool holdsFiles(const QString &dir)
{
    const QFileInfoList entries = QDir(dir).entryInfoList(kEntryFilter, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (!entry.isDir() || entry.isSymLink() || holdsFiles(entry.filePath()))
            return true;
    }
    return false;
}

// Puts the saved copy src back at dst; on false, why (when given) says what failed. A file that
// already holds the saved bytes is left alone: the file that made a replace fail (locked,
// read-only) usually still holds them, and deleting it would fail the same way.
bool restoreFile(const QString &src, const QString &dst, QString *why = nullptr)
{
    const QFileInfo target(dst);
    if (target.isFile() && !target.isSymLink() && sameContent(src, dst))
        return true;
    if ((target.exists() || target.isSymLink()) && !QFile::remove(dst)) {
        if (why)
            *why = QStringLiteral("删除目标文件失败: ") + dst;
        return false;
    }
    if (!QFile::copy(src, dst)) {
        if (why)
            *why = QStringLiteral("回退文件失败: ") + src + QStringLiteral(" -> ") + dst;
        return false;
    }
    return true;
}

} // namespace

CFileOperationManager::CFileOperationManager(QObject *parent)
    : QObject(parent)
{
}

CFileOperationManager::~CFileOperationManager() = default;

bool CFileOperationManager::init()
{
    return true;
}

bool CFileOperationManager::fail(const QString &text)
{
    m_lastError = text;
    return false;
}

bool CFileOperationManager::rollback(const QString &backupPath, const QString &targetPath, QStringList relPaths)
{
    if (relPaths.isEmpty()) {
        const QDir backup(backupPath);
        if (backup.exists()) {
            const QFileInfoList entries = backup.entryInfoList(kEntryFilter, QDir::NoSort);
            for (const QFileInfo &entry : entries)
                relPaths.append(entry.fileName());
        }
    }

    for (const QString &rel : qAsConst(relPaths)) {
        const QString src = joinPath(backupPath, rel);
        const QString dst = joinPath(targetPath, rel);
        const QFileInfo srcInfo(src);
        if (!srcInfo.exists())
            continue;

        if (srcInfo.isDir() && !holdsFiles(src))
            continue;

        const QString parent = QFileInfo(dst).absolutePath();
        if (!ensureDirectory(parent))
            return fail(QStringLiteral("无法创建目标文件目录: ") + parent);

        if (srcInfo.isDir()) {
            if (!rollbackDirectory(src, dst))
                return fail(QStringLiteral("回退目录失败: ") + src + QStringLiteral(" -> ") + dst);
        } else {
            QString why;
            if (!restoreFile(src, dst, &why))
                return fail(why);
        }
        logInfo(QStringLiteral("回退文件成功:") + src + QStringLiteral("->") + dst);
    }
    return true;
}

bool CFileOperationManager::rollbackDirectory(const QString &src, const QString &dst)
{
    const QDir source(src);
    if (!source.exists())
        return false;
    if (!QDir(dst).exists() && !QDir().mkpath(dst))
        return false;

    const QFileInfoList entries = source.entryInfoList(kEntryFilter, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString target = dst + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (holdsFiles(entry.filePath()) && !rollbackDirectory(entry.filePath(), target))
                return false;
            continue;
        }
        if (!restoreFile(entry.filePath(), target))
            return false;
    }
    return true;
}

QString CFileOperationManager::joinPath(const QString &base, const QString &rel)
{
    if (base.endsWith(QLatin1Char('/')))
        return base + rel;
    return base + QLatin1Char('/') + rel;
}

bool CFileOperationManager::ensureDirectory(const QString &dir)
{
    return QDir(dir).exists() || QDir().mkpath(dir);
}
