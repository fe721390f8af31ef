#include "systemconfig.h"
#include "configkeys.h"

#include "fileops/pathrules.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QSettings>

#include <limits>

namespace {

QString &appDirOverride()
{
    static QString dir;
    return dir;
}

struct KeyDefault
{
    const char *section;
    const char *key;
    QVariant fallback;
};

// Every key the loader stores; absent keys get their default (HttpEnable is allowed by default).
const KeyDefault kKeys[] = {
    {ConfigKeys::Update, ConfigKeys::Url, QString()},
    {ConfigKeys::Update, ConfigKeys::ExeName, QString()},
    {ConfigKeys::Update, ConfigKeys::HostExe, QString()},
    {ConfigKeys::Update, ConfigKeys::UpdateExe, QString()},
    {ConfigKeys::Update, ConfigKeys::UpdateHelperExe, QString()},
    {ConfigKeys::Update, ConfigKeys::HttpEnable, true},
    {ConfigKeys::Server, ConfigKeys::UpdateServer, QString()},
    {ConfigKeys::Server, ConfigKeys::UpdatePort, QString()},
    {ConfigKeys::General, ConfigKeys::Version, QString()},
    {ConfigKeys::General, ConfigKeys::LastCheckTime, QString()},
    {ConfigKeys::Paths, ConfigKeys::Backup, QString()},
    {ConfigKeys::Paths, ConfigKeys::Temp, QString()},
    {ConfigKeys::Paths, ConfigKeys::Log, QString()},
    {ConfigKeys::Project, ConfigKeys::Name, QString()},
    {ConfigKeys::Project, ConfigKeys::Type, QString()},
};

// The directory a relative path names, with "\" taken as a separator too (it is one on Windows).
QString normalizedDir(const QString &value)
{
    QString path = value;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::cleanPath(path);
}

} // namespace

CSystemConfig &CSystemConfig::instance()
{
    static CSystemConfig config = [] {
        CSystemConfig c;
        c.load(appDirPath() + QLatin1Char('/') + QLatin1String(ConfigKeys::FileName));
        return c;
    }();
    return config;
}

QString CSystemConfig::appDirPath()
{
    const QString &dir = appDirOverride();
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

void CSystemConfig::setAppDirPath(const QString &dir)
{
    QString cleaned = dir;
    while (cleaned.size() > 1 && cleaned.endsWith(QLatin1Char('/')))
        cleaned.chop(1);
    appDirOverride() = cleaned;
}

void CSystemConfig::reload(const QString &filePath)
{
    CSystemConfig &config = instance();
    config.load(filePath.isEmpty() ? appDirPath() + QLatin1Char('/') + QLatin1String(ConfigKeys::FileName)
                                   : filePath);
}

void CSystemConfig::load(const QString &filePath)
{
    m_filePath = filePath;
    m_sections.clear();
    m_loaded = false;

    QSettings settings(filePath, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return;

    m_loaded = true;
    for (const KeyDefault &entry : kKeys) {
        // QSettings files the keys of an INI section named [General] at the top level, not
        // under a group "General", so that section is read without entering a group.
        const bool topLevel = qstrcmp(entry.section, ConfigKeys::General) == 0;
        if (!topLevel)
            settings.beginGroup(QLatin1String(entry.section));
        m_sections[QLatin1String(entry.section)][QLatin1String(entry.key)] =
            settings.value(QLatin1String(entry.key), entry.fallback).toString();
        if (!topLevel)
            settings.endGroup();
    }
}

QString CSystemConfig::value(const QString &section, const QString &key) const
{
    return m_sections.value(section).value(key);
}

QString CSystemConfig::url() const { return value(ConfigKeys::Update, ConfigKeys::Url); }
QString CSystemConfig::exeName() const { return value(ConfigKeys::Update, ConfigKeys::ExeName); }
QString CSystemConfig::hostExe() const { return value(ConfigKeys::Update, ConfigKeys::HostExe); }
QString CSystemConfig::updateExe() const { return value(ConfigKeys::Update, ConfigKeys::UpdateExe); }
QString CSystemConfig::updateHelperExe() const { return value(ConfigKeys::Update, ConfigKeys::UpdateHelperExe); }
QString CSystemConfig::updateServer() const { return value(ConfigKeys::Server, ConfigKeys::UpdateServer); }
QString CSystemConfig::updatePort() const { return value(ConfigKeys::Server, ConfigKeys::UpdatePort); }
QString CSystemConfig::version() const { return value(ConfigKeys::General, ConfigKeys::Version); }
QString CSystemConfig::lastCheckTime() const { return value(ConfigKeys::General, ConfigKeys::LastCheckTime); }
QString CSystemConfig::backupPath() const { return value(ConfigKeys::Paths, ConfigKeys::Backup); }
QString CSystemConfig::tempPath() const { return value(ConfigKeys::Paths, ConfigKeys::Temp); }
QString CSystemConfig::logPath() const { return value(ConfigKeys::Paths, ConfigKeys::Log); }
QString CSystemConfig::projectName() const { return value(ConfigKeys::Project, ConfigKeys::Name); }

bool CSystemConfig::isHttpEnabled() const
{
    const QString text = value(ConfigKeys::Update, ConfigKeys::HttpEnable);
    return text.toLower() == QLatin1String("true") || text == QLatin1String("1");
}

quint16 CSystemConfig::updatePortNumber() const
{
    bool ok = false;
    const uint port = updatePort().toUInt(&ok, 10);
    if (!ok || port > std::numeric_limits<quint16>::max())
        return 0;
    return static_cast<quint16>(port);
}

QString CSystemConfig::tempPathWithSlash() const
{
    QString path = tempPath();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

int CSystemConfig::projectType() const
{
    const QString text = value(ConfigKeys::Project, ConfigKeys::Type);
    bool ok = false;
    const int type = text.toInt(&ok, 10);
    if (!ok || type < ConfigKeys::MinProjectType || type > ConfigKeys::MaxProjectType)
        return ConfigKeys::MinProjectType;
    return type;
}

bool CSystemConfig::isSafeSubDirectory(const QString &value)
{
    if (value.trimmed().isEmpty())
        return false;
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (drive.match(value).hasMatch())
        return false;
    QString path = value;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')) || QDir::isAbsolutePath(path))
        return false;
    const QString cleaned = QDir::cleanPath(path);
    if (cleaned.isEmpty() || cleaned == QLatin1String(".") || cleaned == QLatin1String("..")
        || cleaned.startsWith(QLatin1String("../")))
        return false;
    // Both directories are removed and re-created on every run: a device name or a name that
    // Windows trims must not stand in for them.
    const QStringList components = cleaned.split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (!windowsNameProblem(component).isEmpty())
            return false;
    }
    return true;
}

bool CSystemConfig::workDirsAreSafe(QString *key, QString *value) const
{
    auto report = [&](const char *name, const QString &text) {
        if (key)
            *key = QStringLiteral("[Paths] ") + QLatin1String(name);
        if (value)
            *value = text;
        return false;
    };
    const QString temp = tempPath();
    const QString backup = backupPath();
    if (!isSafeSubDirectory(temp))
        return report(ConfigKeys::Temp, temp);
    if (!isSafeSubDirectory(backup))
        return report(ConfigKeys::Backup, backup);

    // Names compare without regard to case: on Windows Temp and temp are one directory.
    const QString t = normalizedDir(temp) + QLatin1Char('/');
    const QString b = normalizedDir(backup) + QLatin1Char('/');
    if (t.startsWith(b, Qt::CaseInsensitive) || b.startsWith(t, Qt::CaseInsensitive))
        return report(ConfigKeys::Backup, backup);
    return true;
}
