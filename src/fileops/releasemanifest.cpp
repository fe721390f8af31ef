#include "releasemanifest.h"

#include "fileops/fileopsconstants.h"
#include "fileops/pathrules.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QVector>

#include <algorithm>

namespace {

constexpr int Sha256HexDigits = 64;
// Sizes up to 10^18 - 1 bytes fit a qint64 whatever the digits.
constexpr int MaxSizeDigits = 18;
constexpr char VersionKeyword[] = "version ";
constexpr char FolderKeyword[] = "folder ";
constexpr char FileKeyword[] = "file ";
constexpr char Utf8ByteOrderMark[] = "\xEF\xBB\xBF";

const QString ManifestPath = QLatin1Char('/') + QLatin1String(FileOps::ReleaseManifestFileName);
const QString SignaturePath = QLatin1Char('/') + QLatin1String(FileOps::ReleaseSignatureFileName);

bool setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool isLowerHex(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
    });
}

bool isDecimal(const QString &text)
{
    return !text.isEmpty()
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// A digest and a size in the manifest's exact form.
bool parseSize(const QString &text, qint64 *size)
{
    if (!isDecimal(text) || text.size() > MaxSizeDigits || (text.size() > 1 && text.at(0) == QLatin1Char('0')))
        return false;
    *size = text.toLongLong();
    return true;
}

struct TreeEntry
{
    QString path;         // manifest form, "/bin/a.dll"
    QString absolutePath;
    bool regular = false; // a plain file (not a link, a device or a pipe)
};

// Every file below root + rel, hidden and system entries included, directories entered except
// linked ones (which are reported as irregular entries, like links to files).
void listTree(const QString &root, const QString &rel, QVector<TreeEntry> *out)
{
    const QDir dir(root + rel);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString path = rel + QLatin1Char('/') + entry.fileName();
        if (entry.isSymLink())
            out->append({path, entry.absoluteFilePath(), false});
        else if (entry.isDir())
            listTree(root, path, out);
        else
            out->append({path, entry.absoluteFilePath(), entry.isFile()});
    }
}

QVector<TreeEntry> sortedTree(const QString &root)
{
    QVector<TreeEntry> entries;
    if (QFileInfo(root).isDir())
        listTree(root, QString(), &entries);
    std::sort(entries.begin(), entries.end(), [](const TreeEntry &a, const TreeEntry &b) { return a.path < b.path; });
    return entries;
}

QString withoutTrailingSlash(const QString &dir)
{
    QString cleaned = dir;
    while (cleaned.size() > 1 && cleaned.endsWith(QLatin1Char('/')))
        cleaned.chop(1);
    return cleaned;
}

// Where a manifest path lives in the installation: the installed version description sits in
// update/, everything else where the download puts it.
QString installedPath(const QString &installDir, const QString &path)
{
    const QString base = withoutTrailingSlash(installDir);
    if (path == QLatin1Char('/') + QLatin1String(FileOps::VersionFileName))
        return base + QLatin1Char('/') + QLatin1String(FileOps::UpdateSubDir) + QLatin1String(FileOps::VersionFileName);
    return base + path;
}

// Empty when the file has the entry's size and SHA-256, otherwise why not.
QString differenceFrom(const QString &file, const ReleaseManifestEntry &entry, bool *unreadable)
{
    *unreadable = false;
    const qint64 size = QFileInfo(file).size();
    if (size != entry.size)
        return QStringLiteral("size %1, the manifest says %2").arg(size).arg(entry.size);
    const QString digest = fileSha256(file);
    if (digest.isEmpty()) {
        *unreadable = true;
        return QStringLiteral("cannot read %1").arg(file);
    }
    if (digest != entry.sha256)
        return QStringLiteral("SHA-256 %1, the manifest says %2").arg(digest, entry.sha256);
    return QString();
}

ManifestCheckResult checkFailure(ManifestCheckFailure failure, const QString &path, const QString &detail)
{
    ManifestCheckResult result;
    result.failure = failure;
    result.path = path;
    result.detail = detail;
    return result;
}

} // namespace

QString ManifestCheckResult::errorText() const
{
    switch (failure) {
    case ManifestCheckFailure::None:
        return QString();
    case ManifestCheckFailure::NotInManifest:
        return QStringLiteral("file not in manifest: ") + path;
    case ManifestCheckFailure::Mismatch:
        return QStringLiteral("file does not match manifest: ") + path;
    case ManifestCheckFailure::Missing:
        return QStringLiteral("file missing: ") + path;
    case ManifestCheckFailure::NotRegularFile:
        return QStringLiteral("not a regular file: ") + path;
    case ManifestCheckFailure::Unreadable:
        return QStringLiteral("cannot read file: ") + path;
    }
    return QStringLiteral("file does not match manifest: ") + path;
}

ReleaseManifest::ReleaseManifest(const QString &version, const QString &folder)
    : m_version(version)
    , m_folder(folder)
{
}

bool ReleaseManifest::isValidVersion(const QString &version)
{
    return !version.isEmpty() && version.trimmed() == version && !hasControlCharacter(version);
}

bool ReleaseManifest::isValidFolder(const QString &folder)
{
    return isValidVersion(folder) && pathProblem(QLatin1Char('/') + folder, PathKind::ListPath).isEmpty();
}

bool ReleaseManifest::addFile(const QString &path, const QString &sha256, qint64 size, QString *error)
{
    if (!pathProblem(path, PathKind::ListPath).isEmpty())
        return setError(error, QStringLiteral("unsafe path \"%1\"").arg(path));
    if (path == ManifestPath || path == SignaturePath)
        return setError(error, QStringLiteral("the manifest cannot list %1").arg(path));
    if (sha256.size() != Sha256HexDigits || !isLowerHex(sha256))
        return setError(error, QStringLiteral("\"%1\" is not a SHA-256 in 64 lower-case hex digits").arg(sha256));
    if (size < 0)
        return setError(error, QStringLiteral("negative size"));
    m_files.insert(path, ReleaseManifestEntry{sha256, size});
    return true;
}

QByteArray ReleaseManifest::toText() const
{
    if (!isValidVersion(m_version) || !isValidFolder(m_folder))
        return QByteArray();
    QString text = QLatin1String(FormatLine) + QLatin1Char('\n') + QLatin1String(VersionKeyword) + m_version
        + QLatin1Char('\n') + QLatin1String(FolderKeyword) + m_folder + QLatin1Char('\n');
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it)
        text += QLatin1String(FileKeyword) + it.value().sha256 + QLatin1Char(' ') + QString::number(it.value().size)
            + QLatin1Char(' ') + it.key() + QLatin1Char('\n');
    return text.toUtf8();
}

bool ReleaseManifest::parse(const QByteArray &text, ReleaseManifest *manifest, QString *error)
{
    if (text.isEmpty())
        return setError(error, QStringLiteral("the manifest is empty"));
    if (text.startsWith(Utf8ByteOrderMark))
        return setError(error, QStringLiteral("the manifest begins with a byte order mark"));
    if (text.contains('\0'))
        return setError(error, QStringLiteral("the manifest holds a NUL byte"));
    const QString decoded = QString::fromUtf8(text);
    if (decoded.toUtf8() != text)
        return setError(error, QStringLiteral("the manifest is not valid UTF-8"));
    if (!decoded.endsWith(QLatin1Char('\n')))
        return setError(error, QStringLiteral("the last line does not end with a line feed"));

    const QStringList lines = decoded.left(decoded.size() - 1).split(QLatin1Char('\n'));
    auto lineError = [&](int index, const QString &why) { return setError(error, QStringLiteral("line %1: %2").arg(index + 1).arg(why)); };
    auto keywordValue = [&](int index, const char *keyword, QString *value) {
        if (index >= lines.size() || !lines.at(index).startsWith(QLatin1String(keyword)))
            return lineError(index, QStringLiteral("expected \"%1...\"").arg(QLatin1String(keyword)));
        *value = lines.at(index).mid(int(qstrlen(keyword)));
        return true;
    };

    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).contains(QLatin1Char('\r')))
            return lineError(i, QStringLiteral("carriage return; lines end with a line feed alone"));
        if (lines.at(i).isEmpty())
            return lineError(i, QStringLiteral("empty line"));
    }
    if (lines.at(0) != QLatin1String(FormatLine))
        return lineError(0, QStringLiteral("not a release manifest (expected \"%1\")").arg(QLatin1String(FormatLine)));

    QString version;
    QString folder;
    if (!keywordValue(1, VersionKeyword, &version) || !keywordValue(2, FolderKeyword, &folder))
        return false;
    if (!isValidVersion(version))
        return lineError(1, QStringLiteral("unusable version \"%1\"").arg(version));
    if (!isValidFolder(folder))
        return lineError(2, QStringLiteral("unusable folder \"%1\"").arg(folder));

    ReleaseManifest parsed(version, folder);
    for (int i = 3; i < lines.size(); ++i) {
        QString rest;
        if (!keywordValue(i, FileKeyword, &rest))
            return false;
        // digest, blank, size, blank, path (the rest of the line)
        if (rest.size() <= Sha256HexDigits || rest.at(Sha256HexDigits) != QLatin1Char(' '))
            return lineError(i, QStringLiteral("expected 64 hex digits of SHA-256 and a blank"));
        const QString digest = rest.left(Sha256HexDigits);
        const int sizeEnd = rest.indexOf(QLatin1Char(' '), Sha256HexDigits + 1);
        if (sizeEnd < 0)
            return lineError(i, QStringLiteral("expected a size, a blank and a path"));
        qint64 size = 0;
        if (!parseSize(rest.mid(Sha256HexDigits + 1, sizeEnd - Sha256HexDigits - 1), &size))
            return lineError(i, QStringLiteral("the size is not a plain decimal number"));
        const QString path = rest.mid(sizeEnd + 1);
        if (parsed.m_files.contains(path))
            return lineError(i, QStringLiteral("%1 is listed twice").arg(path));
        QString why;
        if (!parsed.addFile(path, digest, size, &why))
            return lineError(i, why);
    }
    *manifest = parsed;
    return true;
}

bool ReleaseManifest::fromDirectory(const QString &dir, const QString &version, const QString &folder,
                                    const QStringList &excludedTopLevelNames, ReleaseManifest *manifest, QString *error)
{
    if (!isValidVersion(version))
        return setError(error, QStringLiteral("unusable version \"%1\"").arg(version));
    if (!isValidFolder(folder))
        return setError(error, QStringLiteral("unusable folder \"%1\"").arg(folder));
    if (!QFileInfo(dir).isDir())
        return setError(error, QStringLiteral("%1 is not a directory").arg(dir));

    QSet<QString> excluded{ManifestPath, SignaturePath};
    for (const QString &name : excludedTopLevelNames)
        excluded.insert(QLatin1Char('/') + name);

    ReleaseManifest built(version, folder);
    const QVector<TreeEntry> entries = sortedTree(withoutTrailingSlash(dir));
    for (const TreeEntry &entry : entries) {
        if (entry.regular && excluded.contains(entry.path))
            continue;
        if (!entry.regular)
            return setError(error, QStringLiteral("%1 is not a regular file").arg(entry.absolutePath));
        const QString digest = fileSha256(entry.absolutePath);
        if (digest.isEmpty())
            return setError(error, QStringLiteral("cannot read %1").arg(entry.absolutePath));
        QString why;
        if (!built.addFile(entry.path, digest, QFileInfo(entry.absolutePath).size(), &why))
            return setError(error, QStringLiteral("%1: %2").arg(entry.absolutePath, why));
    }
    *manifest = built;
    return true;
}

ManifestCheckResult ReleaseManifest::checkDownload(const QString &downloadDir, const QString &installDir,
                                                   const QStringList &ignoredTopLevelNames) const
{
    QSet<QString> skipped{ManifestPath, SignaturePath};
    for (const QString &name : ignoredTopLevelNames)
        skipped.insert(QLatin1Char('/') + name);

    QVector<TreeEntry> downloaded;
    const QVector<TreeEntry> entries = sortedTree(withoutTrailingSlash(downloadDir));
    for (const TreeEntry &entry : entries) {
        if (entry.regular && skipped.contains(entry.path))
            continue;
        if (!entry.regular)
            return checkFailure(ManifestCheckFailure::NotRegularFile, entry.path,
                                QStringLiteral("%1 is a link, a device or a pipe").arg(entry.absolutePath));
        if (!m_files.contains(entry.path))
            return checkFailure(ManifestCheckFailure::NotInManifest, entry.path,
                                QStringLiteral("%1 was downloaded but the manifest does not name it").arg(entry.absolutePath));
        downloaded.append(entry);
    }

    QSet<QString> present;
    for (const TreeEntry &entry : qAsConst(downloaded)) {
        bool unreadable = false;
        const QString difference = differenceFrom(entry.absolutePath, m_files.value(entry.path), &unreadable);
        if (!difference.isEmpty())
            return checkFailure(unreadable ? ManifestCheckFailure::Unreadable : ManifestCheckFailure::Mismatch,
                                entry.path, difference);
        present.insert(entry.path);
    }

    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
        if (present.contains(it.key()))
            continue;
        if (installDir.isEmpty())
            return checkFailure(ManifestCheckFailure::Missing, it.key(), QStringLiteral("not in the download"));
        const QString installed = installedPath(installDir, it.key());
        if (!QFileInfo(installed).isFile())
            return checkFailure(ManifestCheckFailure::Missing, it.key(),
                                QStringLiteral("neither downloaded nor installed as %1").arg(installed));
        bool unreadable = false;
        const QString difference = differenceFrom(installed, it.value(), &unreadable);
        if (!difference.isEmpty())
            return checkFailure(ManifestCheckFailure::Missing, it.key(),
                                QStringLiteral("not downloaded, and the installed %1 differs: %2").arg(installed, difference));
    }

    ManifestCheckResult result;
    result.checkedFiles = present.size();
    return result;
}

QString fileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

VersionOrder compareVersions(const QString &version, const QString &other)
{
    if (version.isEmpty() || other.isEmpty())
        return VersionOrder::Incomparable;
    if (version == other)
        return VersionOrder::Equal;
    const QStringList left = version.split(QLatin1Char('.'));
    const QStringList right = other.split(QLatin1Char('.'));
    const QString zero = QStringLiteral("0");
    for (int i = 0; i < qMax(left.size(), right.size()); ++i) {
        const QString a = i < left.size() ? left.at(i) : zero;
        const QString b = i < right.size() ? right.at(i) : zero;
        if (a == b)
            continue;
        if (!isDecimal(a) || !isDecimal(b))
            return VersionOrder::Incomparable;
        // Numbers of any length: without leading zeros, the longer is larger, else compare digits.
        const QString x = a.mid(int(std::find_if(a.cbegin(), a.cend(), [](QChar c) { return c != QLatin1Char('0'); }) - a.cbegin()));
        const QString y = b.mid(int(std::find_if(b.cbegin(), b.cend(), [](QChar c) { return c != QLatin1Char('0'); }) - b.cbegin()));
        if (x.size() != y.size())
            return x.size() < y.size() ? VersionOrder::Lower : VersionOrder::Higher;
        const int order = x.compare(y);
        if (order != 0)
            return order < 0 ? VersionOrder::Lower : VersionOrder::Higher;
    }
    return VersionOrder::Equal;
}
