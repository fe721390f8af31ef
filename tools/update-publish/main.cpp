// update-publish RELEASE_DIR OUT_DIR --version V [--folder F] [--encoding E]
//
// Lays out a release so that any static web server can serve it to the updater's HTTP transport:
//   OUT_DIR/update.ini      [Version] Version=V, Folder=F
//   OUT_DIR/F/...           a copy of every file of RELEASE_DIR
//   OUT_DIR/F/md5.txt       the MD5 list of those files, written by the updater's own list code
//                           in encoding E (default GBK, the code page in which a Chinese Windows
//                           reads it; the list has no marker that would say which one it is)
// The client's [Update] URL is then the address at which OUT_DIR is served, ending with "/".

#include "fileops/md5list.h"
#include "fileops/pathrules.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextCodec>
#include <QTextStream>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, UsageError = 1, PublishError = 2 };

const QString VersionFile = QStringLiteral("update.ini");
// The client reads md5.txt in the system's code page; the releases are made for Chinese Windows.
const QString DefaultListEncoding = QStringLiteral("GBK");
// The release's own list (an installation copied as a release carries one) would describe the
// old files; the published list is always made afresh and never lists itself.
const QString OwnListPath = QLatin1Char('/') + QLatin1String(Md5ListFileName);

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

int fail(ExitCode code, const QString &message)
{
    err() << "update-publish: " << message << Qt::endl;
    return code;
}

// The folder is a path below OUT_DIR, as the client joins it to its base URL.
bool isSafeFolder(const QString &folder)
{
    return isSafeListPath(QLatin1Char('/') + folder);
}

bool isSameOrInside(const QString &path, const QString &dir)
{
    const QString p = QDir::cleanPath(QFileInfo(path).absoluteFilePath()) + QLatin1Char('/');
    const QString d = QDir::cleanPath(QFileInfo(dir).absoluteFilePath()) + QLatin1Char('/');
    return p.startsWith(d);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update-publish"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes RELEASE_DIR as version V below OUT_DIR for a static HTTP server:\n"
        "OUT_DIR/update.ini, OUT_DIR/F/<files> and OUT_DIR/F/md5.txt."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("RELEASE_DIR"), QStringLiteral("the files of the new version"));
    parser.addPositionalArgument(QStringLiteral("OUT_DIR"), QStringLiteral("the directory the web server serves"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("version text V"),
                                           QStringLiteral("V"));
    const QCommandLineOption folderOption(QStringLiteral("folder"),
                                          QStringLiteral("folder F below OUT_DIR (default: V)"), QStringLiteral("F"));
    const QCommandLineOption encodingOption(
        QStringLiteral("encoding"),
        QStringLiteral("encoding E of md5.txt: the code page of the Windows clients (default: %1)").arg(DefaultListEncoding),
        QStringLiteral("E"), DefaultListEncoding);
    parser.addOption(versionOption);
    parser.addOption(folderOption);
    parser.addOption(encodingOption);
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2 || !parser.isSet(versionOption))
        return fail(UsageError, QStringLiteral("usage: update-publish RELEASE_DIR OUT_DIR --version V [--folder F] "
                                               "[--encoding E]"));

    const QString releaseDir = QDir::cleanPath(positional.at(0));
    const QString outDir = QDir::cleanPath(positional.at(1));
    const QString version = parser.value(versionOption);
    const QString folder = parser.isSet(folderOption) ? parser.value(folderOption) : version;

    if (version.trimmed().isEmpty())
        return fail(UsageError, QStringLiteral("the version must not be empty"));
    if (!isSafeFolder(folder))
        return fail(UsageError, QStringLiteral("unusable folder \"%1\": it must be a relative path without "
                                               "\"..\", \".\", \"\\\" or \":\"").arg(folder));
    if (!QFileInfo(releaseDir).isDir())
        return fail(UsageError, QStringLiteral("release directory %1 does not exist").arg(releaseDir));
    QTextCodec *const codec = QTextCodec::codecForName(parser.value(encodingOption).toLatin1());
    if (!codec)
        return fail(UsageError, QStringLiteral("unknown encoding \"%1\"").arg(parser.value(encodingOption)));

    const QString targetDir = outDir + QLatin1Char('/') + folder;
    if (isSameOrInside(targetDir, releaseDir) || isSameOrInside(releaseDir, targetDir))
        return fail(UsageError, QStringLiteral("%1 and %2 must not contain each other").arg(releaseDir, targetDir));
    if (QFileInfo::exists(targetDir) && !QDir(targetDir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
        return fail(PublishError, QStringLiteral("%1 already exists and is not empty; choose another --folder").arg(targetDir));

    // Every name is checked before anything is written: the client would refuse the whole list.
    QStringList paths;
    collectFiles(releaseDir, QString(), paths);
    paths.sort();
    if (paths.removeAll(OwnListPath) > 0)
        err() << "update-publish: leaving out " << releaseDir << OwnListPath << ", the list is made afresh" << Qt::endl;
    for (const QString &path : qAsConst(paths)) {
        if (!isSafeListPath(path))
            return fail(PublishError, QStringLiteral("the file name %1 cannot be published").arg(path));
        if (!codec->canEncode(path))
            return fail(PublishError, QStringLiteral("the file name %1 cannot be written in %2")
                                          .arg(path, QString::fromLatin1(codec->name())));
    }
    const QString collision = firstCaseCollision(paths);
    if (!collision.isEmpty())
        return fail(PublishError, QStringLiteral("the file name %1 differs from another one only in letter case, "
                                                 "which Windows cannot hold apart").arg(collision));

    if (!QDir().mkpath(targetDir))
        return fail(PublishError, QStringLiteral("cannot create %1").arg(targetDir));
    qint64 bytes = 0;
    Md5List list;
    for (const QString &path : qAsConst(paths)) {
        const QString target = targetDir + path;
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(releaseDir + path, target))
            return fail(PublishError, QStringLiteral("cannot copy %1 to %2").arg(releaseDir + path, target));
        bytes += QFileInfo(target).size();
        // Hash the copies: they are the bytes the server will send.
        const QString digest = fileMd5(target);
        if (digest.isEmpty())
            return fail(PublishError, QStringLiteral("cannot read %1").arg(target));
        list.insert(path, digest);
    }
    const int copied = list.size();

    const QString listPath = targetDir + OwnListPath;
    if (!writeList(list, listPath, codec) || readMd5List(listPath, codec) != list)
        return fail(PublishError, QStringLiteral("cannot write %1").arg(listPath));

    // update.ini comes last and by rename, so the server never announces a half-copied folder.
    const QString iniPath = outDir + QLatin1Char('/') + VersionFile;
    const QString iniTmpPath = iniPath + QStringLiteral(".new");
    QFile::remove(iniTmpPath);
    {
        QSettings ini(iniTmpPath, QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("Version"));
        ini.setValue(QStringLiteral("Version"), version);
        ini.setValue(QStringLiteral("Folder"), folder);
        ini.endGroup();
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return fail(PublishError, QStringLiteral("cannot write %1").arg(iniTmpPath));
    }
    QFile::remove(iniPath);
    if (!QFile::rename(iniTmpPath, iniPath))
        return fail(PublishError, QStringLiteral("cannot write %1").arg(iniPath));

    QTextStream out(stdout);
    out << "published version " << version << ": " << copied << " files, " << bytes << " bytes in " << targetDir
        << Qt::endl;
    return Success;
}
