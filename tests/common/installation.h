#pragma once

// The temporary installation every test works in: ROOT/app is the application directory (with
// system.cfg), ROOT/release holds a release being built and ROOT/www what an HTTP server serves.
// CSystemConfig is pointed at ROOT/app for the lifetime of the fixture.
//
// The default installation holds a program, libraries in sub-directories, update/update.ini,
// md5.txt and a system.cfg. Every file has its own content, so a file copied to the wrong place
// shows. snapshot() records a tree as relative path -> bytes (directories as "path/" -> empty) to
// compare trees byte for byte. The root is there to prove that nothing was written beside the
// installation: rootEntries() must keep holding exactly "app".
//
// system.cfg is written in one way, writeConfig(); TestConfig makes its text.

#include "common/testfiles.h"

#include "config/systemconfig.h"
#include "fileops/filemanagermodel.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The text of a system.cfg. Only what a test sets is written: an empty text or a negative number
// leaves its key out.
struct TestConfig
{
    // [Update]
    QString url;
    QString hostExe = QStringLiteral("host.exe");
    QString helperExe = QStringLiteral("updatehelper.exe");
    bool httpEnabled = false;
    QString publicKey; // the release signing key(s); empty: unsigned releases are installed
    QString caFile;    // a private CA for https; empty: the system's trust store
    // [Server]
    QString server;
    int port = -1;
    // [General]
    QString version = QStringLiteral("1.0.0");
    // [Paths]
    QString backup = QStringLiteral("backup");
    QString temp = QStringLiteral("temp");
    QString log = QStringLiteral("log/");
    // [Project]
    int projectType = 1;

    // An installation that updates over HTTP from url (and, with a port, over TCP first).
    static TestConfig http(const QString &url, int port = -1)
    {
        TestConfig config;
        config.url = url;
        config.httpEnabled = true;
        config.server = port >= 0 ? QStringLiteral("127.0.0.1") : QString();
        config.port = port;
        return config;
    }

    // An installation that updates from our TCP server on 127.0.0.1:port.
    static TestConfig tcp(int port)
    {
        TestConfig config;
        config.server = QStringLiteral("127.0.0.1");
        config.port = port;
        return config;
    }

    [[nodiscard]] QByteArray text() const
    {
        QByteArray out;
        auto line = [&out](const char *key, const QString &value) {
            if (!value.isEmpty())
                out += QByteArray(key) + '=' + value.toUtf8() + '\n';
        };
        out += "[Update]\n";
        line("URL", url);
        line("HostExe", hostExe);
        line("UpdateHelperExe", helperExe);
        line("HttpEnable", QLatin1String(httpEnabled ? "true" : "false"));
        line("PublicKey", publicKey);
        line("CaFile", caFile);
        if (!server.isEmpty() || port >= 0) {
            out += "[Server]\n";
            line("UpdateServer", server);
            line("UpdatePort", port >= 0 ? QString::number(port) : QString());
        }
        if (!version.isEmpty()) {
            out += "[General]\n";
            line("Version", version);
        }
        out += "[Paths]\n";
        line("Backup", backup);
        line("Temp", temp);
        line("Log", log);
        if (projectType >= 0) {
            out += "[Project]\n";
            line("Type", QString::number(projectType));
        }
        return out;
    }
};

class TestInstallation
{
public:
    using Snapshot = QMap<QString, QByteArray>;

    // Only the directories: no system.cfg, no installed files.
    enum BareTag { Bare };

    static QByteArray defaultConfig() { return TestConfig().text(); }

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

    // config: the text of system.cfg, written as it is (also when it is malformed); empty for no
    // system.cfg at all.
    explicit TestInstallation(const QByteArray &config = defaultConfig(), const Snapshot &files = defaultFiles(),
                              const QString &appName = QStringLiteral("app"))
        : m_appName(appName)
    {
        if (!makeDirectories())
            return;
        CSystemConfig::setAppDirPath(appDir());
        m_valid = config.isEmpty() || writeConfig(config);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            m_valid = m_valid && write(it.key(), it.value());
    }
    explicit TestInstallation(const TestConfig &config, const Snapshot &files = defaultFiles())
        : TestInstallation(config.text(), files)
    {
    }
    explicit TestInstallation(BareTag)
    {
        m_valid = makeDirectories();
        CSystemConfig::setAppDirPath(appDir());
    }

    ~TestInstallation()
    {
        // Files a test left open belong to this installation; the next test starts afresh.
        CFileManager::instance().closeAll();
        CSystemConfig::setAppDirPath(QString());
    }
    TestInstallation(const TestInstallation &) = delete;
    TestInstallation &operator=(const TestInstallation &) = delete;

    // Writes system.cfg and loads it. Each file gets a modification time of its own: the reader
    // keeps a file it has read and takes a rewrite of the same size and time for the same file.
    bool writeConfig(const QByteArray &text)
    {
        static qint64 stamp = QDateTime::currentSecsSinceEpoch() - 86400;
        const QString file = path(QStringLiteral("system.cfg"));
        const bool written = writeFile(file, text);
        QFile touched(file);
        const bool stamped = touched.open(QIODevice::ReadWrite)
            && touched.setFileTime(QDateTime::fromSecsSinceEpoch(++stamp), QFileDevice::FileModificationTime);
        CSystemConfig::setAppDirPath(appDir());
        CSystemConfig::reload();
        return written && stamped;
    }
    bool configure(const TestConfig &config) { return writeConfig(config.text()); }

    [[nodiscard]] bool isValid() const { return m_valid; }
    [[nodiscard]] QString root() const { return m_root.path(); }
    // Without a trailing "/", like CSystemConfig::appDirPath().
    [[nodiscard]] QString appDir() const { return m_root.path() + QLatin1Char('/') + m_appName; }
    [[nodiscard]] QString releaseDir() const { return m_root.path() + QStringLiteral("/release"); }
    [[nodiscard]] QString wwwDir() const { return m_root.path() + QStringLiteral("/www"); }
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
        return TestFiles::writeFile(filePath, bytes);
    }
    // The bytes of a file; empty when it cannot be read.
    static QByteArray read(const QString &filePath) { return TestFiles::readFile(filePath); }

    // Every file below dir (hidden ones too), relative to it with a leading "/", sorted: compare
    // before and after to prove that nothing was written where it must not be.
    static QStringList tree(const QString &dir)
    {
        QStringList files;
        QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next().mid(dir.size());
        files.sort();
        return files;
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

    // The top-level entries of the root but release/ and www/: exactly {"app"} unless something
    // escaped.
    [[nodiscard]] QStringList rootEntries() const
    {
        QStringList entries = QDir(root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        entries.removeAll(QStringLiteral("release"));
        entries.removeAll(QStringLiteral("www"));
        return entries;
    }

private:
    bool makeDirectories() const
    {
        return m_root.isValid() && QDir().mkpath(appDir()) && QDir().mkpath(releaseDir()) && QDir().mkpath(wwwDir());
    }

    QTemporaryDir m_root;
    QString m_appName = QStringLiteral("app");
    bool m_valid = false;
};
