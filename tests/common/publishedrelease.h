#pragma once

// Builds release trees on disk and publishes them with the built update-publish tool, the way a
// maintainer fills a static web server. The including target defines UPDATE_PUBLISH_PATH
// ($<TARGET_FILE:update-publish>) and depends on the tool.

#include "common/testfiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTextCodec>

#ifndef UPDATE_PUBLISH_PATH
#error "UPDATE_PUBLISH_PATH must name the update-publish executable"
#endif

namespace PublishedRelease {

// Relative path ("sub/a.dll") -> content.
using FileTree = QMap<QString, QByteArray>;

using TestFiles::readFile;
using TestFiles::writeFile;

// An MD5 list as this platform writes it: text mode ends its lines with CR LF on Windows.
inline QByteArray listText(QByteArray text)
{
#ifdef Q_OS_WIN
    text.replace("\n", "\r\n");
#endif
    return text;
}

// Writes every file of the tree below dir; false when one cannot be written.
inline bool writeTree(const QString &dir, const FileTree &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(dir + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

struct Result
{
    int exitCode = -1;
    QString output; // standard output and error together
};

// Runs update-publish with arguments as they stand.
inline Result run(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(UPDATE_PUBLISH_PATH), arguments);
    Result result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        result.output = QStringLiteral("update-publish did not finish: ") + process.errorString();
        return result;
    }
    result.exitCode = process.exitCode();
    result.output = QString::fromLocal8Bit(process.readAll()); // the tool writes in the system's code page
    return result;
}

// update-publish RELEASE_DIR OUT_DIR --version V [--folder F] [extra...]. Unless extra names an
// --encoding, the list is written in this machine's code page, which the updater under test reads
// (the tool's own default is that of the Chinese Windows clients).
inline Result publish(const QString &releaseDir, const QString &outDir, const QString &version,
                      const QString &folder = QString(), const QStringList &extra = QStringList())
{
    QStringList args{releaseDir, outDir, QStringLiteral("--version"), version};
    if (!folder.isNull())
        args << QStringLiteral("--folder") << folder;
    if (!extra.contains(QStringLiteral("--encoding")))
        args << QStringLiteral("--encoding") << QString::fromLatin1(QTextCodec::codecForLocale()->name());
    return run(args + extra);
}

// Writes the tree to releaseDir and publishes it; true on exit code 0.
inline bool publishTree(const QString &releaseDir, const QString &outDir, const FileTree &files,
                        const QString &version, const QString &folder = QString())
{
    return writeTree(releaseDir, files) && publish(releaseDir, outDir, version, folder).exitCode == 0;
}

} // namespace PublishedRelease
