#pragma once

// Pieces shared by the TCP test suites: the configuration they run with, a release built from
// random bytes, and a look at everything written outside the release directory.

#include "common/installation.h"
#include "common/tcpserverprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRandomGenerator>

#include <memory>

// Our server at server:port; the installed version and the project type the client reports.
inline TestConfig tcpConfig(int port, const QString &version = QStringLiteral("1.0"), int projectType = 3,
                            const QString &server = QStringLiteral("127.0.0.1"))
{
    TestConfig config = TestConfig::tcp(port);
    config.server = server;
    config.version = version;
    config.projectType = projectType;
    return config;
}

// Writes a release file of size random bytes (the same for the same path); returns its content.
inline QByteArray addReleaseFile(const TestInstallation &install, const QString &relative, qint64 size)
{
    QByteArray data(static_cast<int>(size), Qt::Uninitialized);
    QRandomGenerator generator(static_cast<quint32>(qHash(relative)));
    for (qint64 i = 0; i < size; ++i)
        data[static_cast<int>(i)] = static_cast<char>(generator.generate() & 0xFF);
    if (!TestInstallation::writeFile(install.releaseDir() + QLatin1Char('/') + relative, data))
        qFatal("cannot write a release file");
    return data;
}

// Every file below the installation's root outside the release directory, relative to the root,
// but the system.cfg the test wrote: what a download wrote.
inline QStringList filesOutsideRelease(const TestInstallation &install)
{
    QStringList files;
    QDirIterator it(install.root(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.startsWith(install.releaseDir() + QLatin1Char('/')) && path != install.path(QStringLiteral("system.cfg")))
            files.append(path.mid(install.root().size() + 1));
    }
    files.sort();
    return files;
}

// Starts our update server on the installation's release directory, offering version 2.0.
inline std::unique_ptr<TcpServerProcess> startReleaseServer(const TestInstallation &install,
                                                           const QStringList &extra = {})
{
    auto server = std::make_unique<TcpServerProcess>(
        QStringList{QStringLiteral("--root"), install.releaseDir(), QStringLiteral("--version"), QStringLiteral("2.0")}
        + extra);
    if (!server->start())
        qWarning("%s", qPrintable(server->errorString()));
    return server;
}
