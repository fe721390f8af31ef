#include "fileops/filemanagermodel.h"

#include "config/systemconfig.h"
#include "fileops/pathrules.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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
    QString base = CSystemConfig::instance().tempPathWithSlash();
    if (QDir::isRelativePath(base))
        base = CSystemConfig::appDirPath() + QLatin1Char('/') + base;
    return base + relPath;
}

bool CFileManager::ensureDirectory(const QString &dir) const
{
    if (QFileInfo(dir).isDir())
        return true;
    return QDir().mkpath(dir);
}

bool CFileManager::isSafeTarget(const QString &dirPath, const QString &fileName, QString *reason)
{
    auto refuse = [reason](const char *why) {
        if (reason)
            *reason = QString::fromUtf8(why);
        return false;
    };
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (fileName.isEmpty())
        return refuse("empty file name");
    if (fileName.contains(QLatin1Char('/')) || fileName.contains(QLatin1Char('\\')))
        return refuse("separator in file name");
    if (fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return refuse("file name is a directory reference");
    // A colon makes a drive letter or an alternate data stream on Windows.
    if (fileName.contains(QLatin1Char(':')) || dirPath.contains(QLatin1Char(':')) || drive.match(dirPath).hasMatch())
        return refuse("drive letter or colon in path");
    if (dirPath.startsWith(QLatin1Char('/')) || dirPath.startsWith(QLatin1Char('\\')))
        return refuse("absolute directory");
    // Windows reads a backslash as a separator, so ".." between backslashes escapes as well.
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList parts = dirPath.split(separators, Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (part == QLatin1String(".."))
            return refuse("\"..\" in directory");
    }
    for (const QString &part : parts + QStringList{fileName}) {
        if (part == QLatin1String("."))
            continue;
        const QString problem = windowsNameProblem(part);
        if (!problem.isEmpty()) {
            if (reason)
                *reason = problem;
            return false;
        }
    }
    return true;
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
