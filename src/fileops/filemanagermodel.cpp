#include "fileops/filemanagermodel.h"

#include "fileops/pathrules.h"
#include "fileops/workdirs.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

CFileManager::~CFileManager()
{
    closeAll();
}

CFileManager &CFileManager::instance()
{
    static CFileManager manager;
    return manager;
}

QString CFileManager::fileKey(const QString &dirPath, const QString &fileName)
{
    return dirPath + QLatin1Char('_') + fileName;
}

QString CFileManager::tempFilePath(const QString &relPath) const
{
    return WorkDirs::fromConfig().tempDir() + relPath;
}

bool CFileManager::ensureDirectory(const QString &dir) const
{
    if (QFileInfo(dir).isDir())
        return true;
    return QDir().mkpath(dir);
}

bool CFileManager::isSafeTarget(const QString &dirPath, const QString &fileName, QString *reason)
{
    QString problem = pathProblem(fileName, PathKind::FileName);
    if (problem.isEmpty())
        problem = pathProblem(dirPath, PathKind::TransferDirectory);
    if (reason)
        *reason = problem;
    return problem.isEmpty();
}

void CFileManager::discardFile(const QString &dirPath, const QString &fileName)
{
    const auto it = m_openFiles.find(fileKey(dirPath, fileName));
    if (it == m_openFiles.end())
        return;
    it->second->close();
    m_openFiles.erase(it);
}

void CFileManager::deleteFile(const QString &dirPath, const QString &fileName)
{
    discardFile(dirPath, fileName);
    if (!isSafeTarget(dirPath, fileName))
        return;
    QString dir = dirPath;
    dir.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QFile::remove(tempFilePath(dir.isEmpty() ? fileName : dir + QLatin1Char('/') + fileName));
}

void CFileManager::closeAll()
{
    for (auto &entry : m_openFiles)
        entry.second->close();
    m_openFiles.clear();
}

bool CFileManager::SaveFileData(const QString &dirPath, const QString &fileName, const QByteArray &data, bool isLast)
{
    QString reason;
    if (!isSafeTarget(dirPath, fileName, &reason)) {
        qWarning() << "Refused unsafe file path:" << dirPath << fileName << reason;
        return false;
    }
    // Both separators mean a directory on Windows; write the same layout everywhere.
    QString dir = dirPath;
    dir.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString fullPath = tempFilePath(dir.isEmpty() ? fileName : dir + QLatin1Char('/') + fileName);
    // The check above already rules out escapes; this one guards against anything it missed.
    const QString root = QDir::cleanPath(tempFilePath(QString()));
    if (!QDir::cleanPath(fullPath).startsWith(root + QLatin1Char('/'))) {
        qWarning() << "Refused unsafe file path:" << fullPath;
        return false;
    }

    if (!ensureDirectory(QFileInfo(fullPath).absolutePath())) {
        qWarning() << "Failed to create directory for file:" << fullPath;
        return false;
    }

    const QString key = fileKey(dirPath, fileName);
    auto it = m_openFiles.find(key);
    if (it == m_openFiles.end()) {
        auto file = std::make_unique<QFile>(fullPath);
        // A new transfer starts the file afresh: stale bytes of an earlier attempt must not stay.
        if (!file->open(QIODevice::ReadWrite | QIODevice::Truncate)) {
            qWarning() << "Failed to open file for writing:" << fullPath;
            return false;
        }
        it = m_openFiles.emplace(key, std::move(file)).first;
    } else if (!it->second->isOpen()) {
        if (!it->second->open(QIODevice::ReadWrite | QIODevice::Append)) {
            qWarning() << "Failed to reopen file for writing:" << fullPath;
            return false;
        }
    }

    QFile &file = *it->second;
    const qint64 written = data.isEmpty() ? 0 : file.write(data);
    if (written != data.size()) {
        qWarning() << "Failed to write all data to file:" << fullPath << "Expected:" << data.size()
                   << "Written:" << written;
        return false;
    }
    if (isLast) {
        file.close();
        m_openFiles.erase(it);
    }
    return true;
}
