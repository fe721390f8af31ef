// bench-small-files: a release of many small files over TCP on loopback. It measures the real
// update.exe from its start to its end (check, download, installation; the host program's start
// is only scheduled) and, in the same run against the same server, a minimal client that asks for
// every file over one connection and writes it, and prints both in files per second.
//
//   bench-small-files [--files 5000] [--size 1024] [--runs 3]

#include "tcp/tcpprotocol.h"

#include "common/tcpserverprocess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace TcpProtocol;

namespace {

constexpr int FilesPerFolder = 100;
constexpr int WaitMs = 60000;
constexpr int RunTimeoutMs = 600000;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QList<FileItem> makeRelease(const QString &dir, int files, int size)
{
    QList<FileItem> items;
    for (int i = 0; i < files; ++i) {
        const FileItem item{QStringLiteral("d%1").arg(i / FilesPerFolder, 3, 10, QLatin1Char('0')),
                            QStringLiteral("f%1.bin").arg(i, 5, 10, QLatin1Char('0'))};
        QByteArray bytes(size, char('a' + i % 26));
        bytes.replace(0, 8, QByteArray::number(i).rightJustified(8, '0'));
        if (!writeFile(dir + QLatin1Char('/') + item.filePath + QLatin1Char('/') + item.fileName, bytes))
            return {};
        items << item;
    }
    return items;
}

// The minimal client: one connection, the version check, then every file in turn.
double runMinimalClient(quint16 port, const QList<FileItem> &items, const QString &outDir)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(WaitMs))
        return -1;
    QElapsedTimer timer;
    timer.start();
    FrameReader reader;
    auto nextFrame = [&](Frame &frame) {
        while (reader.next(frame) != FrameReadStatus::FrameReady) {
            if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(WaitMs))
                return false;
            reader.readFrom(socket);
        }
        return true;
    };
    socket.write(makeFrame(VersionCheck, makeVersionCheckRequest(QStringLiteral("1.0"), 1, QStringLiteral("1")).toBytes(), 1));
    Frame frame;
    if (!nextFrame(frame) || frame.type != VersionCheckReply) {
        std::fprintf(stderr, "minimal client: no version reply (%s)\n", qPrintable(socket.errorString()));
        return -1;
    }
    for (const FileItem &item : items) {
        socket.write(makeFrame(FileDownload, makeFileDownloadRequest(item), 1));
        QFile out(outDir + QLatin1Char('/') + item.filePath + QLatin1Char('/') + item.fileName);
        QDir().mkpath(QFileInfo(out).absolutePath());
        if (!out.open(QIODevice::WriteOnly))
            return -1;
        for (bool last = false; !last;) {
            if (!nextFrame(frame) || frame.type != FileData)
                return -1;
            out.write(frame.payload.constData() + FileDataHeaderSize, frame.payload.size() - FileDataHeaderSize);
            last = frame.payload.at(ChunkIsLastOffset) != 0;
        }
    }
    return timer.nsecsElapsed() / 1e9;
}

// The real update.exe in an installation of version 1.0, from its start to its exit.
double runUpdater(quint16 port, const QString &appDir, qint64 *logBytes)
{
    QDir(appDir).removeRecursively();
    QDir().mkpath(appDir);
    if (!QFile::copy(QStringLiteral(UPDATE_EXE_PATH), appDir + QStringLiteral("/update.exe"))
        || !writeFile(appDir + QStringLiteral("/host.sh"), "#!/bin/sh\n")
        || !writeFile(appDir + QStringLiteral("/system.cfg"),
                      "[Update]\nHostExe=host.sh\nHttpEnable=false\n[Server]\nUpdateServer=127.0.0.1\nUpdatePort="
                          + QByteArray::number(port)
                          + "\n[General]\nVersion=1.0\n[Paths]\nBackup=backup\nTemp=temp\nLog=log/\n[Project]\nType=1\n"))
        return -1;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("UPDATE_NO_ARGUMENT_BOX"), QStringLiteral("1"));
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(appDir + QStringLiteral("/update.exe"), {QStringLiteral("console")});
    if (!process.waitForFinished(RunTimeoutMs) || process.exitCode() != 0)
        return -1;
    const double seconds = timer.nsecsElapsed() / 1e9;
    *logBytes = 0;
    const QFileInfoList logs = QDir(appDir + QStringLiteral("/log")).entryInfoList(QDir::Files);
    for (const QFileInfo &log : logs)
        *logBytes += log.size();
    return seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption filesOption(QStringLiteral("files"), QStringLiteral("Number of files."), QStringLiteral("N"), QStringLiteral("5000"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("Bytes per file."), QStringLiteral("BYTES"), QStringLiteral("1024"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Runs of each; the best counts."), QStringLiteral("N"), QStringLiteral("3"));
    parser.addOptions({filesOption, sizeOption, runsOption});
    parser.process(app);
    const int files = parser.value(filesOption).toInt();
    const int size = parser.value(sizeOption).toInt();
    const int runs = std::max(1, parser.value(runsOption).toInt());

    QTemporaryDir dir;
    const QString release = dir.filePath(QStringLiteral("release"));
    const QList<FileItem> items = makeRelease(release, files, size);
    if (items.size() != files) {
        std::fprintf(stderr, "cannot write the release\n");
        return 1;
    }
    // Quiet: nobody reads its request lines while the measurements block.
    TcpServerProcess server({QStringLiteral("--root"), release, QStringLiteral("--version"), QStringLiteral("2.0"),
                             QStringLiteral("--quiet")});
    if (!server.start()) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorString()));
        return 1;
    }

    double client = -1;
    double updater = -1;
    qint64 logBytes = 0;
    for (int run = 0; run < runs; ++run) {
        const QString out = dir.filePath(QStringLiteral("client%1").arg(run));
        const double c = runMinimalClient(server.port(), items, out);
        QDir(out).removeRecursively();
        const double u = runUpdater(server.port(), dir.filePath(QStringLiteral("app")), &logBytes);
        if (c < 0 || u < 0) {
            std::fprintf(stderr, "run %d failed (client %.3f s, update.exe %.3f s)\n", run, c, u);
            return 1;
        }
        client = client < 0 ? c : std::min(client, c);
        updater = updater < 0 ? u : std::min(updater, u);
        std::printf("run %d: minimal client %.3f s, update.exe %.3f s\n", run + 1, c, u);
        std::fflush(stdout);
    }
    std::printf("%d files of %d bytes over TCP on loopback, best of %d:\n", files, size, runs);
    std::printf("  minimal client          %8.0f files/s\n", files / client);
    std::printf("  update.exe end to end   %8.0f files/s  (%.0f %% of the minimal client)\n", files / updater,
                100.0 * client / updater);
    std::printf("  update.exe log          %8.2f MiB\n", logBytes / 1048576.0);
    return 0;
}
