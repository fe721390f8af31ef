#pragma once

// Runs the real minisign program (installed by scripts/setup) for tests that check that our
// signatures and minisign's are interchangeable. Passwords go to minisign's standard input,
// which it reads when no terminal is attached. A Windows test under Wine runs the Linux minisign
// through hostrun.py (common/hostprocess.h), with the Linux paths of its files.

#include "common/hostprocess.h"

#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace MinisignTool {

// Deriving a key from a password takes minisign's default 1 GiB of scrypt memory and a few seconds.
inline constexpr int TimeoutMs = 120000;

// Empty when minisign is not installed. Under Wine the name is looked up on the Linux side.
inline QString executable()
{
    if (HostProcess::viaHostRun())
        return QStringLiteral("minisign");
    return QStandardPaths::findExecutable(QStringLiteral("minisign"));
}

// A file argument as minisign sees it.
inline QString file(const QString &path)
{
    return HostProcess::hostPath(path);
}

struct Run
{
    int exitCode = -1;
    QString output; // standard output and error together
};

inline Run run(const QStringList &arguments, const QByteArray &input = QByteArray())
{
    HostProcess process;
    process.start(executable(), arguments, true, input);
    Run result;
    if (!process.waitForStarted(TimeoutMs)) {
        result.output = QStringLiteral("cannot start minisign: ") + process.errorString();
        return result;
    }
    if (!process.waitForFinished(TimeoutMs) || !process.exitedNormally()) {
        result.output = QStringLiteral("minisign did not finish");
        return result;
    }
    result.exitCode = process.exitCode();
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    return result;
}

struct KeyPair
{
    QString publicKeyFile;
    QString secretKeyFile;
    QString publicKey; // the base64 line
    QString keyId;     // as minisign prints it
    QByteArray password;
};

// minisign -G into dir/name.pub and dir/name.key; an empty password makes an unencrypted key (-W).
inline bool generate(const QString &dir, const QString &name, const QByteArray &password, KeyPair *pair, QString *error)
{
    pair->publicKeyFile = dir + QLatin1Char('/') + name + QStringLiteral(".pub");
    pair->secretKeyFile = dir + QLatin1Char('/') + name + QStringLiteral(".key");
    pair->password = password;
    QStringList arguments{QStringLiteral("-G"), QStringLiteral("-f"), QStringLiteral("-p"), file(pair->publicKeyFile),
                          QStringLiteral("-s"), file(pair->secretKeyFile)};
    if (password.isEmpty())
        arguments << QStringLiteral("-W");
    const Run result = run(arguments, password.isEmpty() ? QByteArray() : password + '\n' + password + '\n');
    QFile publicKey(pair->publicKeyFile);
    if (result.exitCode != 0 || !publicKey.open(QIODevice::ReadOnly)) {
        *error = result.output;
        return false;
    }
    const QStringList lines = QString::fromLatin1(publicKey.readAll()).split(QLatin1Char('\n'));
    pair->keyId = lines.value(0).section(QLatin1Char(' '), -1);
    pair->publicKey = lines.value(1).trimmed();
    return true;
}

// minisign -S of file with the key's password on standard input.
inline Run sign(const KeyPair &key, const QString &signedFile, const QString &signatureFile, const QString &trustedComment,
                const QStringList &extra = QStringList())
{
    QStringList arguments{QStringLiteral("-S"), QStringLiteral("-s"), file(key.secretKeyFile), QStringLiteral("-m"),
                          file(signedFile), QStringLiteral("-x"), file(signatureFile), QStringLiteral("-t"), trustedComment};
    return run(arguments + extra, key.password.isEmpty() ? QByteArray() : key.password + '\n');
}

// minisign -V of file against the public key file.
inline Run verify(const QString &publicKeyFile, const QString &signedFile, const QString &signatureFile)
{
    return run({QStringLiteral("-V"), QStringLiteral("-p"), file(publicKeyFile), QStringLiteral("-m"), file(signedFile),
                QStringLiteral("-x"), file(signatureFile)});
}

} // namespace MinisignTool
