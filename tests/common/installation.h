#pragma once

// A temporary installation for tests that apply updates: a root directory that holds nothing but
// the application directory app/, which holds a program, libraries in sub-directories,
// update/update.ini, md5.txt and a system.cfg. CSystemConfig is pointed at it on construction.
//
// Every file has its own content, so a file copied to the wrong place shows. snapshot() records
// a tree as relative path -> bytes (directories as "path/" -> empty) to compare trees byte for
// byte. The root is there to prove that nothing was written beside the installation: it must
// keep holding exactly "app".

#include "config/systemconfig.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TestInstallation
{
public:
    using Snapshot = QMap<QString, QByteArray>;

    static QByteArray defaultConfig()
    {
        return "[Update]\nHostExe=host.exe\nUpdateHelperExe=updatehelper.exe\nHttpEnable=false\n"
               "[General]\nVersion=1.0.0\n"
               "[Paths]\nBackup=backup\nTemp=temp\nLog=log/\n"
               "[Project]\nType=1\n";
    }

    // The installed files and their content.
    static Snapshot defaultFiles()
    {
        return {
            {QStringLiteral("host.exe"), "host program 1.0"},
            {QStringLiteral("update.exe"), "updater 1.0"},
            {QStringLiteral("core.dll"), "core library 1.0"},
            {QStringLiteral("lib/gui.dll"), "gui library 1.0"},
            {QStringLiteral("lib/plugins/codec.dll"), "codec plugin 1.0"},
            {QStringLiteral("data/readme.txt"), "readme 1.0"},
            {QStringLiteral("update/update.ini"), "[Version]\nVersion=1.0.0\nFolder=v100\n"},
            {QStringLiteral("md5.txt"), "/core.dll|11111111111111111111111111111111\n"},
        };
    }

    // config: the text of system.cfg. QSettings caches a file by name, so a test that needs
    // another configuration builds another installation instead of rewriting this one.
    explicit TestInstallation(const QByteArray &config = defaultConfig(), const Snapshot &files = defaultFiles())
    {
        if (!m_root.isValid() || !QDir().mkpath(appDir()))
            return;
        m_valid = write(QStringLiteral("system.cfg"), config);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            m_valid = m_valid && write(it.key(), it.value());
        CSystemConfig::setAppDirPath(appDir());
        CSystemConfig::reload();
    }

    [[nodiscard]] bool isValid() const { return m_valid; }
    [[nodiscard]] QString root() const { return m_root.path(); }
    // Without a trailing "/", like CSystemConfig::appDirPath().
    [[nodiscard]] QString appDir() const { return m_root.path() + QStringLiteral("/app"); }
    [[nodiscard]] QString path(const QString &rel) const { return appDir() + QLatin1Char('/') + rel; }
    // The working directories of the default configuration, with a trailing "/".
    [[nodiscard]] QString tempDir() const { return path(QStringLiteral("temp/")); }
    [[nodiscard]] QString backupDir() const { return path(QStringLiteral("backup/")); }

    // Writes below the application directory, creating missing parents.
    bool write(const QString &rel, const QByteArray &bytes) const { return writeFile(path(rel), bytes); }
    // Writes below the download directory.
    bool writeDownload(const QString &rel, const QByteArray &bytes) const
    {
        return writeFile(tempDir() + rel, bytes);
    }

    static bool writeFile(const QString &filePath, const QByteArray &bytes)
    {
        if (!QDir().mkpath(QFileInfo(filePath).absolutePath()))
            return false;
        QFile file(filePath);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    }

    static QByteArray read(const QString &filePath)
    {
        QFile file(filePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Every file and directory below dir (hidden ones included, links not followed).
    static Snapshot snapshot(const QString &dir)
    {
        Snapshot result;
        const QDir base(dir);
        QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo info = it.fileInfo();
            const QString rel = base.relativeFilePath(info.filePath());
            if (info.isSymLink())
                result.insert(rel + QStringLiteral(" -> ") + info.symLinkTarget(), QByteArray());
            else if (info.isDir())
                result.insert(rel + QLatin1Char('/'), QByteArray());
            else
                result.insert(rel, read(info.filePath()));
        }
        return result;
    }

    // The installation without its working directories: what the user's program consists of.
    [[nodiscard]] Snapshot installed() const
    {
        return without(snapshot(appDir()), {QStringLiteral("temp/"), QStringLiteral("backup/")});
    }

    // snapshot with every entry below the given "dir/" prefixes removed (the prefixes too).
    static Snapshot without(Snapshot tree, const QStringList &prefixes)
    {
        for (auto it = tree.begin(); it != tree.end();) {
            bool drop = false;
            for (const QString &prefix : prefixes)
                drop = drop || it.key().startsWith(prefix);
            it = drop ? tree.erase(it) : it + 1;
        }
        return tree;
    }

    // Only the entries below the prefix "dir/", with the prefix taken off.
    static Snapshot below(const Snapshot &tree, const QString &prefix)
    {
        Snapshot result;
        for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
            if (it.key().startsWith(prefix) && it.key() != prefix)
                result.insert(it.key().mid(prefix.size()), it.value());
        }
        return result;
    }

    // The top-level entries of the root: exactly {"app"} unless something escaped.
    [[nodiscard]] QStringList rootEntries() const
    {
        return QDir(root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }

private:
    QTemporaryDir m_root;
    bool m_valid = false;
};
