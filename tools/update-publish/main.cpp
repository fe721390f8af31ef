// update-publish RELEASE_DIR OUT_DIR --version V [--folder F] [--encoding E] [--tcp]
//                [--sign SECRET_KEY_FILE [--password-file FILE]]
// update-publish --verify PUBLIC_KEY OUT_DIR [--version V] [--encoding E]
//
// Lays out a release so that any static web server can serve it to the updater's HTTP transport:
//   OUT_DIR/update.ini      [Version] Version=V, Folder=F
//   OUT_DIR/F/...           a copy of every file of RELEASE_DIR
//   OUT_DIR/F/md5.txt       the MD5 list of those files, written by the updater's own list code
//                           in encoding E (default GBK, the code page in which a Chinese Windows
//                           reads it; the list has no marker that would say which one it is)
// The client's [Update] URL is then the address at which OUT_DIR is served, ending with "/".
// With --tcp, OUT_DIR itself receives the files, ready for update-tcp-server --root OUT_DIR.
//
// --sign adds the release manifest (release.manifest) and its minisign signature
// (release.manifest.minisig) beside the files; they are then ordinary files of the release, so the
// MD5 list names them and the HTTP client downloads them like any other. --verify checks a
// published release the way an updater with that public key would.

#include "fileops/fileopsconstants.h"
#include "fileops/md5list.h"
#include "fileops/minisign.h"
#include "fileops/minisignsigner.h"
#include "fileops/pathrules.h"
#include "fileops/releasemanifest.h"
#include "fileops/signaturecrypto.h"
#include "fileops/signedrelease.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextCodec>
#include <QTextStream>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, UsageError = 1, PublishError = 2, VerifyError = 3 };

const QString VersionFile = QStringLiteral("update.ini");
// The client reads md5.txt in the system's code page; the releases are made for Chinese Windows.
const QString DefaultListEncoding = QStringLiteral("GBK");
// The release's own list (an installation copied as a release carries one) would describe the
// old files; the published list is always made afresh and never lists itself.
const QString OwnListPath = QLatin1Char('/') + QLatin1String(Md5ListFileName);
// Likewise an old manifest and signature: a signed release gets new ones, an unsigned one none.
const QString ManifestPath = QLatin1Char('/') + QLatin1String(FileOps::ReleaseManifestFileName);
const QString SignaturePath = QLatin1Char('/') + QLatin1String(FileOps::ReleaseSignatureFileName);
// Where a publisher keeps the secret key's password when it is not in a file; never prompted for.
const char PasswordVariable[] = "UPDATE_SIGN_PASSWORD";

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
    return pathProblem(QLatin1Char('/') + folder, PathKind::ListPath).isEmpty();
}

bool isSameDirOrInside(const QString &path, const QString &dir)
{
    return isSameOrInside(QDir::cleanPath(QFileInfo(path).absoluteFilePath()),
                          QDir::cleanPath(QFileInfo(dir).absoluteFilePath()));
}

QByteArray readAll(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size() && file.flush();
}

// Reads and, if it is protected, decrypts the secret key. The password comes from the first line
// of passwordFile or, without one, from UPDATE_SIGN_PASSWORD.
bool loadSecretKey(const QString &keyFile, const QString &passwordFile, Minisign::SecretKey *key, QString *error)
{
    bool ok = false;
    const QByteArray content = readAll(keyFile, &ok);
    if (!ok) {
        *error = QStringLiteral("cannot read the secret key %1").arg(keyFile);
        return false;
    }
    QByteArray password;
    if (!passwordFile.isEmpty()) {
        QByteArray text = readAll(passwordFile, &ok);
        if (!ok) {
            *error = QStringLiteral("cannot read the password file %1").arg(passwordFile);
            return false;
        }
        password = text.left(text.indexOf('\n') < 0 ? text.size() : text.indexOf('\n'));
        if (password.endsWith('\r'))
            password.chop(1);
        SignatureCrypto::wipe(text);
    } else {
#ifdef Q_OS_WIN
        // Windows keeps the environment in UTF-16, and qgetenv() would hand out the code page's
        // bytes: GBK for a Chinese password, which never opens a key made with its UTF-8 bytes.
        password = qEnvironmentVariable(PasswordVariable).toUtf8();
#else
        password = qgetenv(PasswordVariable);
#endif
    }
    Minisign::SecretKeyResult result = Minisign::readSecretKey(content, password);
    SignatureCrypto::wipe(password);
    if (result.error == Minisign::SecretKeyError::PasswordRequired) {
        *error = QStringLiteral("%1 is password-protected: set %2 or give --password-file")
                     .arg(keyFile, QLatin1String(PasswordVariable));
        return false;
    }
    if (!result.ok()) {
        *error = QStringLiteral("%1: %2 (%3)").arg(keyFile, result.errorText(), result.detail);
        return false;
    }
    *key = result.key;
    return true;
}

// Writes the manifest of releaseDir and its signature into releaseDir, then checks both as a
// client would.
bool signRelease(const QString &releaseDir, const QString &version, const QString &folder,
                 const Minisign::SecretKey &key, QString *error)
{
    ReleaseManifest manifest;
    if (!ReleaseManifest::fromDirectory(releaseDir, version, folder, QStringList(), &manifest, error))
        return false;
    const QByteArray text = manifest.toText();
    const QString trustedComment =
        QStringLiteral("version:%1\tfolder:%2\ttime:%3\tfile:%4")
            .arg(version, folder, QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                 QLatin1String(FileOps::ReleaseManifestFileName));
    QByteArray signature;
    if (!Minisign::sign(text, key, trustedComment,
                        QStringLiteral("signature from update-publish, key ") + key.publicKey().keyIdText(), &signature,
                        error))
        return false;
    if (!writeAll(releaseDir + ManifestPath, text) || !writeAll(releaseDir + SignaturePath, signature)) {
        *error = QStringLiteral("cannot write %1").arg(releaseDir + ManifestPath);
        return false;
    }
    const SignedReleaseCheck check = checkSignedDownload(releaseDir, QString(), {key.publicKey()});
    if (!check.ok()) {
        *error = QStringLiteral("the signed release does not verify: %1 (%2)").arg(check.error, check.detail);
        return false;
    }
    return true;
}

int publish(const QString &releaseDir, const QString &outDir, const QString &version, const QString &folder,
            bool tcpLayout, const QString &keyFile, const QString &passwordFile, QTextCodec *codec)
{
    if (version.trimmed().isEmpty())
        return fail(UsageError, QStringLiteral("the version must not be empty"));
    if (!isSafeFolder(folder))
        return fail(UsageError, QStringLiteral("unusable folder \"%1\": it must be a relative path without "
                                               "\"..\", \".\", \"\\\" or \":\"").arg(folder));
    const bool signing = !keyFile.isEmpty();
    if (signing && (!ReleaseManifest::isValidVersion(version) || !ReleaseManifest::isValidFolder(folder)))
        return fail(UsageError, QStringLiteral("a signed version or folder must not begin or end with a blank "
                                               "or hold a control character"));
    if (!QFileInfo(releaseDir).isDir())
        return fail(UsageError, QStringLiteral("release directory %1 does not exist").arg(releaseDir));

    // The key comes first: a wrong password must not leave a half-written folder behind.
    Minisign::SecretKey key;
    QString error;
    if (signing && !loadSecretKey(keyFile, passwordFile, &key, &error))
        return fail(UsageError, error);

    const QString targetDir = tcpLayout ? outDir : outDir + QLatin1Char('/') + folder;
    if (isSameDirOrInside(targetDir, releaseDir) || isSameDirOrInside(releaseDir, targetDir))
        return fail(UsageError, QStringLiteral("%1 and %2 must not contain each other").arg(releaseDir, targetDir));
    if (QFileInfo::exists(targetDir) && !QDir(targetDir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
        return fail(PublishError, QStringLiteral("%1 already exists and is not empty; choose another %2")
                                      .arg(targetDir, tcpLayout ? QStringLiteral("OUT_DIR") : QStringLiteral("--folder")));
    // Every name is checked before anything is written: the client would refuse the whole list.
    QStringList paths;
    collectFiles(releaseDir, QString(), paths);
    paths.sort();
    for (const QString &own : {OwnListPath, ManifestPath, SignaturePath}) {
        if (paths.removeAll(own) > 0)
            err() << "update-publish: leaving out " << releaseDir << own << ", it is made afresh" << Qt::endl;
    }
    for (const QString &path : qAsConst(paths)) {
        if (!pathProblem(path, PathKind::ListPath).isEmpty())
            return fail(PublishError, QStringLiteral("the file name %1 cannot be published").arg(path));
        if (!tcpLayout && !codec->canEncode(path))
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
    int copied = 0;
    for (const QString &path : qAsConst(paths)) {
        const QString target = targetDir + path;
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(releaseDir + path, target))
            return fail(PublishError, QStringLiteral("cannot copy %1 to %2").arg(releaseDir + path, target));
        bytes += QFileInfo(target).size();
        ++copied;
    }

    // The manifest hashes the copies: they are the bytes the server will send.
    if (signing && !signRelease(targetDir, version, folder, key, &error))
        return fail(PublishError, error);

    QTextStream out(stdout);
    const QString signedBy = signing ? QStringLiteral(", signed with key ") + key.publicKey().keyIdText() : QString();
    if (tcpLayout) {
        out << "published version " << version << " for update-tcp-server: " << copied << " files, " << bytes
            << " bytes in " << targetDir << signedBy << Qt::endl;
        return Success;
    }

    // The list hashes the copies (the manifest and its signature among them): they are the bytes
    // the server will send.
    QStringList published;
    collectFiles(targetDir, QString(), published);
    published.removeAll(OwnListPath);
    Md5List list;
    for (const QString &path : qAsConst(published)) {
        const QString digest = fileMd5(targetDir + path);
        if (digest.isEmpty())
            return fail(PublishError, QStringLiteral("cannot read %1").arg(targetDir + path));
        list.insert(path, digest);
    }
    const QString listPath = targetDir + OwnListPath;
    if (list.size() != copied + (signing ? 2 : 0) || !writeList(list, listPath, codec)
        || readMd5List(listPath, codec) != list)
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

    out << "published version " << version << ": " << copied << " files, " << bytes << " bytes in " << targetDir
        << signedBy << Qt::endl;
    return Success;
}

// The MD5 list of an HTTP folder must name exactly its files (the manifest and its signature
// included) with their current digests, or clients would not download what the manifest expects.
QString md5ListProblem(const QString &dir, QTextCodec *codec)
{
    QStringList paths;
    collectFiles(dir, QString(), paths);
    Md5List actual;
    for (const QString &path : qAsConst(paths)) {
        if (path != OwnListPath)
            actual.insert(path, fileMd5(dir + path));
    }
    const Md5List listed = readMd5List(dir + OwnListPath, codec);
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (listed.value(it.key()) != it.value())
            return QStringLiteral("%1 does not list %2 with its MD5").arg(QLatin1String(Md5ListFileName), it.key());
    }
    for (auto it = listed.cbegin(); it != listed.cend(); ++it) {
        if (!actual.contains(it.key()))
            return QStringLiteral("%1 lists %2, which is not there").arg(QLatin1String(Md5ListFileName), it.key());
    }
    return QString();
}

int verifyRelease(const QString &publicKey, const QString &outDir, const QString &expectedVersion, QTextCodec *codec)
{
    // The key is a .pub file or the key text itself (one key, or two separated by a comma).
    QString keyText = publicKey;
    if (QFileInfo(publicKey).isFile()) {
        bool ok = false;
        keyText = QString::fromUtf8(readAll(publicKey, &ok));
        if (!ok)
            return fail(UsageError, QStringLiteral("cannot read %1").arg(publicKey));
    }
    QVector<Minisign::PublicKey> keys;
    QString error;
    if (!Minisign::parsePublicKeys(keyText, &keys, &error))
        return fail(UsageError, error);

    // With update.ini it is a release for HTTP, whose files are in its folder; without, a release
    // directory for update-tcp-server.
    const bool httpLayout = QFileInfo(outDir + QLatin1Char('/') + VersionFile).isFile();
    QString dir = outDir;
    QString announcedVersion = expectedVersion;
    QString announcedFolder;
    if (httpLayout) {
        QSettings ini(outDir + QLatin1Char('/') + VersionFile, QSettings::IniFormat);
        announcedFolder = ini.value(QStringLiteral("Version/Folder")).toString();
        const QString iniVersion = ini.value(QStringLiteral("Version/Version")).toString();
        if (!expectedVersion.isEmpty() && iniVersion != expectedVersion)
            return fail(VerifyError, QStringLiteral("update.ini announces version %1, not %2").arg(iniVersion, expectedVersion));
        announcedVersion = iniVersion;
        if (!isSafeFolder(announcedFolder))
            return fail(VerifyError, QStringLiteral("update.ini names no usable folder"));
        dir = outDir + QLatin1Char('/') + announcedFolder;
    }

    // What a client would check, and then what the server announces against the signed manifest.
    const SignedReleaseCheck check = checkSignedDownload(
        dir, QString(), keys, httpLayout ? QStringList{QLatin1String(Md5ListFileName)} : QStringList());
    if (!check.ok() && check.failure != SignedReleaseFailure::Files)
        return fail(VerifyError, QStringLiteral("%1 (%2)").arg(check.error, check.detail));
    const ReleaseManifest &manifest = check.manifest;
    if (!announcedVersion.isEmpty() && manifest.version() != announcedVersion)
        return fail(VerifyError, QStringLiteral("the manifest is of version %1, not %2").arg(manifest.version(), announcedVersion));
    if (httpLayout && manifest.folder() != announcedFolder)
        return fail(VerifyError, QStringLiteral("the manifest is of folder %1, not %2").arg(manifest.folder(), announcedFolder));
    if (!check.ok())
        return fail(VerifyError, QStringLiteral("%1 (%2)").arg(check.error, check.detail));
    if (httpLayout) {
        const QString problem = md5ListProblem(dir, codec);
        if (!problem.isEmpty())
            return fail(VerifyError, problem);
    }

    QTextStream(stdout) << "verified version " << manifest.version() << " (folder " << manifest.folder() << "): "
                        << manifest.files().size() << " files, signed by key " << check.keyId
                        << ", trusted comment: " << check.trustedComment << Qt::endl;
    return Success;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update-publish"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes RELEASE_DIR as version V below OUT_DIR for a static HTTP server:\n"
        "OUT_DIR/update.ini, OUT_DIR/F/<files> and OUT_DIR/F/md5.txt.\n"
        "With --verify PUBLIC_KEY OUT_DIR, checks the signature and files of a published release."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("RELEASE_DIR"), QStringLiteral("the files of the new version"));
    parser.addPositionalArgument(QStringLiteral("OUT_DIR"), QStringLiteral("the directory the web server serves"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("version text V"),
                                           QStringLiteral("V"));
    const QCommandLineOption folderOption(QStringLiteral("folder"),
                                          QStringLiteral("folder F below OUT_DIR (default: V)"), QStringLiteral("F"));
    const QCommandLineOption tcpOption(QStringLiteral("tcp"),
                                       QStringLiteral("put the files into OUT_DIR itself, for update-tcp-server --root "
                                                      "OUT_DIR (no update.ini, no md5.txt)"));
    const QCommandLineOption signOption(QStringLiteral("sign"),
                                        QStringLiteral("write release.manifest and its signature with this minisign "
                                                       "secret key (password from UPDATE_SIGN_PASSWORD)"),
                                        QStringLiteral("SECRET_KEY_FILE"));
    const QCommandLineOption passwordFileOption(QStringLiteral("password-file"),
                                                QStringLiteral("read the secret key's password from the first line "
                                                               "of FILE"),
                                                QStringLiteral("FILE"));
    const QCommandLineOption verifyOption(QStringLiteral("verify"),
                                          QStringLiteral("check the release published in OUT_DIR with this public key "
                                                         "(a .pub file or the key text; two keys separated by a comma)"),
                                          QStringLiteral("PUBLIC_KEY"));
    const QCommandLineOption encodingOption(
        QStringLiteral("encoding"),
        QStringLiteral("encoding E of md5.txt: the code page of the Windows clients (default: %1)").arg(DefaultListEncoding),
        QStringLiteral("E"), DefaultListEncoding);
    parser.addOptions({versionOption, folderOption, encodingOption, tcpOption, signOption, passwordFileOption, verifyOption});
    parser.process(app);
    QTextCodec *const codec = QTextCodec::codecForName(parser.value(encodingOption).toLatin1());
    if (!codec)
        return fail(UsageError, QStringLiteral("unknown encoding \"%1\"").arg(parser.value(encodingOption)));

    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(verifyOption)) {
        if (positional.size() != 1 || parser.isSet(signOption) || parser.isSet(folderOption) || parser.isSet(tcpOption))
            return fail(UsageError, QStringLiteral("usage: update-publish --verify PUBLIC_KEY OUT_DIR [--version V] "
                                                   "[--encoding E]"));
        return verifyRelease(parser.value(verifyOption), QDir::cleanPath(positional.at(0)), parser.value(versionOption),
                             codec);
    }

    if (positional.size() != 2 || !parser.isSet(versionOption)
        || (parser.isSet(passwordFileOption) && !parser.isSet(signOption)))
        return fail(UsageError, QStringLiteral("usage: update-publish RELEASE_DIR OUT_DIR --version V [--folder F] "
                                               "[--encoding E] [--tcp] [--sign SECRET_KEY_FILE [--password-file FILE]]"));
    const QString version = parser.value(versionOption);
    return publish(QDir::cleanPath(positional.at(0)), QDir::cleanPath(positional.at(1)), version,
                   parser.isSet(folderOption) ? parser.value(folderOption) : version, parser.isSet(tcpOption),
                   parser.value(signOption), parser.value(passwordFileOption), codec);
}
