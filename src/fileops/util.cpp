#include "fileops/util.h"

#include "fileops/fileopsconstants.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextCodec>

namespace {

#ifdef Q_OS_WIN
constexpr const char *kScriptSuffix = FileOps::BatchScriptSuffix;
constexpr const char *kDefaultInterpreter = FileOps::BatchInterpreter;
#else
constexpr const char *kScriptSuffix = FileOps::ShellScriptSuffix;
constexpr const char *kDefaultInterpreter = FileOps::ShellInterpreter;
#endif

// The page the Windows command processor of a Chinese system reads batch files in.
constexpr const char *kBatchCodec = "GBK";
constexpr const char *kBatchLineEnd = "\r\n";

QString withBackslashes(QString path)
{
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

QString doubleQuoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QStringList interpreterArguments(const QString &scriptPath)
{
#ifdef Q_OS_WIN
    return {QStringLiteral("/c"), scriptPath};
#else
    return {scriptPath};
#endif
}

QByteArray platformScript(const QString &program, const QStringList &arguments, const QString &scriptPath)
{
#ifdef Q_OS_WIN
    return UTIL::batchScript(program, arguments, scriptPath);
#else
    return UTIL::shellScript(program, arguments, scriptPath);
#endif
}

// Creates a script file that did not exist before (a file planted under the name is never
// followed or reused); a name taken within the same millisecond moves on to the next number.
bool createScript(QFile &file, qint64 msecs)
{
    for (int attempt = 0; attempt < FileOps::DelayStartNameAttempts; ++attempt) {
        const QString path = UTIL::delayStartScriptPath(msecs + attempt);
        file.setFileName(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            return false;
    }
    return false;
}

} // namespace

namespace UTIL {

bool startDetached(const QString &program, const QStringList &arguments)
{
#ifdef Q_OS_WIN
    return QProcess::startDetached(program, arguments);
#else
    // An inherited pipe (the host program reading the updater's result line) would otherwise
    // stay open until the started program ends.
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
#endif
}

QString delayStartScriptPath(qint64 msecs)
{
    return QDir::tempPath() + QLatin1Char('/') + QLatin1String(FileOps::DelayStartScriptPrefix)
        + QString::number(msecs) + QLatin1String(kScriptSuffix);
}

QByteArray batchScript(const QString &program, const QStringList &arguments, const QString &scriptPath)
{
    const QString end = QLatin1String(kBatchLineEnd);
    QString command = doubleQuoted(withBackslashes(program));
    for (const QString &argument : arguments)
        command += QLatin1Char(' ') + doubleQuoted(argument);

    const QString text = QStringLiteral("@echo off") + end
        + QStringLiteral("echo Starting in %1 second...").arg(FileOps::DelayStartSeconds) + end
        + QStringLiteral("timeout /t %1 /nobreak >nul").arg(FileOps::DelayStartSeconds) + end
        + command + end
        + QStringLiteral("del ") + doubleQuoted(withBackslashes(scriptPath)) + end;

    if (QTextCodec *codec = QTextCodec::codecForName(kBatchCodec))
        return codec->fromUnicode(text);
    return text.toLocal8Bit();
}

QString shellQuote(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QByteArray shellScript(const QString &program, const QStringList &arguments, const QString &scriptPath)
{
    QString command = shellQuote(program);
    for (const QString &argument : arguments)
        command += QLatin1Char(' ') + shellQuote(argument);

    // The program runs in the foreground so that the script is removed only after it ended.
    const QString text = QStringLiteral("#!/bin/sh\n")
        + QStringLiteral("sleep %1\n").arg(FileOps::DelayStartSeconds)
        + command + QLatin1Char('\n')
        + QStringLiteral("rm -f -- ") + shellQuote(scriptPath) + QLatin1Char('\n');
    // Paths and arguments reach the shell in the encoding the file system uses for names.
    return QFile::encodeName(text);
}

void delayStartExe(const QString &program, const QStringList &arguments)
{
    delayStartExe(program, arguments, QLatin1String(kDefaultInterpreter));
}

void delayStartExe(const QString &program, const QStringList &arguments, const QString &interpreter)
{
    QString target = QDir::current().filePath(program);
#ifdef Q_OS_WIN
    target = withBackslashes(target);
#endif

    QFile script;
    if (!createScript(script, QDateTime::currentMSecsSinceEpoch())) {
        qWarning().noquote() << QStringLiteral("无法创建批处理文件:") + script.fileName();
        startDetached(target, arguments);
        return;
    }

    QString scriptPath = script.fileName();
#ifdef Q_OS_WIN
    scriptPath = withBackslashes(scriptPath);
#endif
    const QByteArray bytes = platformScript(target, arguments, scriptPath);
    const bool written = script.write(bytes) == bytes.size() && script.flush();
    script.close();
    if (!written) {
        qWarning().noquote() << QStringLiteral("无法创建批处理文件:") + scriptPath;
        script.remove();
        startDetached(target, arguments);
        return;
    }

    QProcess process;
    process.setProgram(interpreter);
    process.setArguments(interpreterArguments(scriptPath));
#ifndef Q_OS_WIN
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
#endif
    if (!process.startDetached()) {
        qWarning().noquote() << QStringLiteral("无法启动批处理脚本:") + scriptPath;
        script.remove();
        startDetached(target, arguments);
    }
}

} // namespace UTIL
