#include "systemconfig.h"
#include "configkeys.h"


#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
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
    {ConfigKeys::Update, ConfigKeys::PublicKey, QString()},
    {ConfigKeys::Update, ConfigKeys::CaFile, QString()},
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

// The reader decodes values written as "@Variant(...)", "@ByteArray(...)" and the like into
// objects; a hand-written configuration never means that, and a crafted one could make the
// reader build anything. Such a line makes the file unusable instead.
const QRegularExpression &serialisedValue()
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*[^;#\\[\\s][^=]*=\\s*\"?@(Variant|ByteArray|String|DateTime|Rect|Size|Point|Invalid)\\("));
    return pattern;
}

// Names the first line of the file that holds a serialised value; empty when there is none.
QString findSerialisedValue(const QByteArray &bytes)
{
    const QList<QByteArray> lines = bytes.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines.at(i)).trimmed();
        if (serialisedValue().match(line).hasMatch())
            return QStringLiteral("第%1行 ").arg(i + 1) + line;
    }
    return QString();
}

bool isPlainVersion(const QString &version)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._+-]{1,64}$"));
    return pattern.match(version).hasMatch();
}

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kIniKeyCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kIniKeyCase = Qt::CaseSensitive;
#endif

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
    m_loadError.clear();

    if (!QFileInfo::exists(filePath)) {
        // The reader treats a missing file as an empty one; the defaults then apply.
        m_loadError = QStringLiteral("配置文件不存在: ") + filePath;
    } else {
        QFile raw(filePath);
        if (!raw.open(QIODevice::ReadOnly)) {
            m_loadError = QStringLiteral("配置文件无法读取: ") + filePath;
            return;
        }
        const QString serialised = findSerialisedValue(raw.readAll());
        if (!serialised.isEmpty()) {
            m_loadError = QStringLiteral("配置文件含有不支持的值: ") + filePath + QLatin1Char(' ') + serialised;
            return;
        }
    }

    QSettings settings(filePath, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        m_loadError = QStringLiteral("配置文件格式错误: ") + filePath;
        return;
    }

    m_loaded = true;
    for (const KeyDefault &entry : kKeys) {
        // QSettings files the keys of an INI section named [General] at the top level, not
        // under a group "General", so that section is read without entering a group.
        const bool topLevel = qstrcmp(entry.section, ConfigKeys::General) == 0;
        if (!topLevel)
            settings.beginGroup(QLatin1String(entry.section));
        const QVariant value = settings.value(QLatin1String(entry.key), entry.fallback);
        // The INI reader turns an unquoted "A,B" into a list, which toString() would make empty; a
        // key list is kept as the text it was.
        m_sections[QLatin1String(entry.section)][QLatin1String(entry.key)] =
            qstrcmp(entry.key, ConfigKeys::PublicKey) == 0 && value.type() == QVariant::StringList
            ? value.toStringList().join(QLatin1Char(','))
            : value.toString();
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
QString CSystemConfig::publicKey() const { return value(ConfigKeys::Update, ConfigKeys::PublicKey).trimmed(); }
QString CSystemConfig::caFile() const { return value(ConfigKeys::Update, ConfigKeys::CaFile).trimmed(); }
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

QStringList CSystemConfig::warnings() const
{
    QStringList lines;
    const QString http = value(ConfigKeys::Update, ConfigKeys::HttpEnable);
    const QString lowered = http.toLower();
    if (lowered != QLatin1String("true") && lowered != QLatin1String("false") && http != QLatin1String("1")
        && http != QLatin1String("0")) {
        lines << QStringLiteral("[Update] HttpEnable 的值无法识别(应为 true、false、1 或 0)，按不允许HTTP升级处理: ")
                + http;
    }
    const QString port = updatePort();
    if (!port.isEmpty() && updatePortNumber() == 0)
        lines << QStringLiteral("[Server] UpdatePort 不是有效的端口号(1-65535)，不使用TCP升级服务: ") + port;
    const QString type = value(ConfigKeys::Project, ConfigKeys::Type);
    if (!type.isEmpty() && QString::number(projectType()) != type.trimmed())
        lines << QStringLiteral("[Project] Type 无效(应为 1-6)，按 1 处理: ") + type;
    return lines;
}

bool CSystemConfig::writeInstalledVersion(const QString &filePath, const QString &version, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!isPlainVersion(version))
        return fail(QStringLiteral("版本号含有不允许的字符: ") + version);

    QFile in(filePath);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("无法读取配置文件: ") + filePath);
    const QByteArray bytes = in.readAll();
    in.close();

    const QByteArray eol = bytes.contains("\r\n") ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    QList<QByteArray> lines = bytes.split('\n');
    const bool endsWithNewline = bytes.endsWith('\n');
    if (endsWithNewline)
        lines.removeLast();

    // Keys before the first section belong to [General], as do the keys of a [General] section;
    // the last Version line wins, as it does for the reader.
    bool inGeneral = true;
    int generalHeader = -1;
    int versionLine = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines.at(i)).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.contains(QLatin1Char(']'))) {
            const QString section = line.mid(1, line.indexOf(QLatin1Char(']')) - 1).trimmed();
            inGeneral = section.compare(QLatin1String(ConfigKeys::General), kIniKeyCase) == 0;
            if (inGeneral && generalHeader < 0)
                generalHeader = i;
            continue;
        }
        if (!inGeneral || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals > 0 && line.left(equals).trimmed().compare(QLatin1String(ConfigKeys::Version), kIniKeyCase) == 0)
            versionLine = i;
    }

    const QByteArray value = version.toLatin1();
    if (versionLine >= 0) {
        QByteArray &line = lines[versionLine];
        const bool cr = line.endsWith('\r');
        int start = line.indexOf('=') + 1;
        while (start < line.size() && (line.at(start) == ' ' || line.at(start) == '\t'))
            ++start;
        line = line.left(start) + value + (cr ? QByteArrayLiteral("\r") : QByteArray());
    } else if (generalHeader >= 0) {
        const QByteArray cr = eol.size() == 2 ? QByteArrayLiteral("\r") : QByteArray();
        lines.insert(generalHeader + 1, QByteArrayLiteral("Version=") + value + cr);
    } else {
        const QByteArray cr = eol.size() == 2 ? QByteArrayLiteral("\r") : QByteArray();
        lines << QByteArrayLiteral("[General]") + cr << QByteArrayLiteral("Version=") + value + cr;
    }

    QByteArray out = lines.join('\n');
    if (endsWithNewline || versionLine < 0)
        out += '\n';

    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.commit())
        return fail(QStringLiteral("无法写入配置文件: ") + filePath);
    return true;
}
