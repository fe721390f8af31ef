#pragma once

// A temporary installation for the TCP tests: sandbox/app is the application directory with its
// system.cfg, sandbox/release the directory a server publishes. Escapes are looked for in the
// whole sandbox.

#include "config/systemconfig.h"
#include "fileops/filemanagermodel.h"

#include "common/tcpserverprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <memory>

class TcpTestInstallation
{
public:
    TcpTestInstallation()
    {
        QDir().mkpath(appDir());
        QDir().mkpath(releaseDir());
        CSystemConfig::setAppDirPath(appDir());
    }

    ~TcpTestInstallation() { CFileManager::instance().closeAll(); }

    bool isValid() const { return m_sandbox.isValid() && m_configs.isValid(); }
    QString sandbox() const { return m_sandbox.path(); }
    QString appDir() const { return m_sandbox.path() + QStringLiteral("/app"); }
    QString tempDir() const { return appDir() + QStringLiteral("/temp"); }
    QString releaseDir() const { return m_sandbox.path() + QStringLiteral("/release"); }

    // Writes a configuration and loads it. Each one goes to a new file outside the sandbox:
    // QSettings caches files by name and may miss a same-sized rewrite within one clock tick.
    void configure(quint16 port, const QString &version = QStringLiteral("1.0"), int projectType = 3,
                   const QString &server = QStringLiteral("127.0.0.1"))
    {
        const QString path = m_configs.path() + QStringLiteral("/system%1.cfg").arg(++m_configCount);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write system.cfg");
        file.write(QStringLiteral("[Server]\nUpdateServer=%1\nUpdatePort=%2\n[General]\nVersion=%3\n"
                                  "[Paths]\nTemp=temp\nBackup=backup\nLog=log/\n[Project]\nType=%4\n")
                       .arg(server)
                       .arg(port)
                       .arg(version)
                       .arg(projectType)
                       .toUtf8());
        file.close();
        CSystemConfig::reload(path);
    }

    // Writes a release file; returns its content.
    QByteArray addReleaseFile(const QString &relative, qint64 size)
    {
        QByteArray data(static_cast<int>(size), Qt::Uninitialized);
        QRandomGenerator generator(static_cast<quint32>(qHash(relative)));
        for (qint64 i = 0; i < size; ++i)
            data[static_cast<int>(i)] = static_cast<char>(generator.generate() & 0xFF);
        const QString path = releaseDir() + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write a release file");
        file.write(data);
        return data;
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    // Every file of the sandbox outside the release directory, relative to the sandbox.
    QStringList filesOutsideRelease() const
    {
        QStringList files;
        QDirIterator it(sandbox(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(releaseDir() + QLatin1Char('/')))
                files.append(path.mid(sandbox().size() + 1));
        }
        files.sort();
        return files;
    }

private:
    QTemporaryDir m_sandbox;
    QTemporaryDir m_configs;
    int m_configCount = 0;
};

// Starts our update server on the installation's release directory, offering version 2.0.
inline std::unique_ptr<TcpServerProcess> startReleaseServer(const TcpTestInstallation &install,
                                                           const QStringList &extra = {})
{
    auto server = std::make_unique<TcpServerProcess>(
        QStringList{QStringLiteral("--root"), install.releaseDir(), QStringLiteral("--version"), QStringLiteral("2.0")}
        + extra);
    if (!server->start())
        qWarning("%s", qPrintable(server->errorString()));
    return server;
}
