#pragma once

// A temporary installation for HTTP update tests: ROOT/app is the application directory (with
// system.cfg), ROOT/release and ROOT/www are there for building and serving a release. The
// configuration object is pointed at ROOT/app for the lifetime of the fixture.

#include "config/systemconfig.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

class HttpInstallation
{
public:
    HttpInstallation()
    {
        QDir().mkpath(appDir());
        QDir().mkpath(wwwDir());
    }
    ~HttpInstallation() { CSystemConfig::setAppDirPath(QString()); }

    HttpInstallation(const HttpInstallation &) = delete;
    HttpInstallation &operator=(const HttpInstallation &) = delete;

    [[nodiscard]] bool isValid() const { return m_root.isValid(); }
    [[nodiscard]] QString root() const { return m_root.path(); }
    [[nodiscard]] QString appDir() const { return m_root.path() + QStringLiteral("/app"); }
    [[nodiscard]] QString wwwDir() const { return m_root.path() + QStringLiteral("/www"); }
    [[nodiscard]] QString releaseDir() const { return m_root.path() + QStringLiteral("/release"); }
    // A path below the application directory, e.g. app("temp/a.dll").
    [[nodiscard]] QString app(const QString &relative) const { return appDir() + QLatin1Char('/') + relative; }

    // Writes system.cfg with [Update] URL and [Paths] Temp, and loads it.
    bool configure(const QString &url, const QString &temp = QStringLiteral("temp"))
    {
        QFile file(app(QStringLiteral("system.cfg")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write(QStringLiteral("[Update]\nURL=%1\nHttpEnable=true\n[Paths]\nTemp=%2\nBackup=backup\nLog=log/\n")
                       .arg(url, temp)
                       .toUtf8());
        file.close();
        CSystemConfig::setAppDirPath(appDir());
        CSystemConfig::reload();
        return CSystemConfig::instance().url() == url;
    }

    // Every file below dir (hidden ones too), relative and sorted: compare before and after to
    // prove that nothing was written where it must not be.
    static QStringList tree(const QString &dir)
    {
        QStringList files;
        QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next().mid(dir.size());
        files.sort();
        return files;
    }

private:
    QTemporaryDir m_root;
};
