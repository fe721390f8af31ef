// bench-tcp-download: how fast CTCPUpdate takes a large release off our TCP server, and how much
// memory it needs, next to a minimal reader that only copies the chunk data from the socket into
// a file. Every measurement runs in a fresh child process so peak memory (VmHWM) is its own.
//
//   bench-tcp-download [--mib 256] [--small-mib 64]

#include "app/logging.h"
#include "config/systemconfig.h"
#include "tcp/ctcpupdate.h"
#include "tcp/tcpprotocol.h"

#include "common/tcpserverprocess.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>

using namespace TcpProtocol;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int ChunkSize = 64 * 1024;
constexpr int WaitMs = 30000;
const char *const FileName = "release.bin";

qint64 peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void report(qint64 bytes, qint64 nanoseconds)
{
    std::fprintf(stderr, "RESULT bytes=%lld ns=%lld peak_kib=%lld\n", static_cast<long long>(bytes),
                 static_cast<long long>(nanoseconds), static_cast<long long>(peakKiB()));
}

// The minimal reader: one request, then chunk data straight from the socket into a file.
int runBaseline(quint16 port, const QString &outPath)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(WaitMs))
        return 1;
    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 1;
    QElapsedTimer timer;
    timer.start();
    socket.write(makeFrame(FileDownload, makeFileDownloadRequest(FileItem{QString(), QString::fromLatin1(FileName)}), 1));
    FrameReader reader;
    qint64 written = 0;
    bool done = false;
    while (!done && socket.waitForReadyRead(WaitMs)) {
        reader.readFrom(socket);
        Frame frame;
        while (!done && reader.next(frame) == FrameReadStatus::FrameReady) {
            if (frame.type != FileData)
                return 1;
            const QByteArray &payload = frame.payload;
            written += out.write(payload.constData() + FileDataHeaderSize, payload.size() - FileDataHeaderSize);
            done = payload.at(ChunkIsLastOffset) != 0;
        }
    }
    out.close();
    report(written, timer.nsecsElapsed());
    return done ? 0 : 1;
}

// The updater's own path: CTCPUpdate with its client, chunk writer, window and log.
int runUpdater(int argc, char *argv[], quint16 port, const QString &appDir)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QFile config(appDir + QStringLiteral("/system.cfg"));
    if (!config.open(QIODevice::WriteOnly))
        return 1;
    config.write(QStringLiteral("[Server]\nUpdateServer=127.0.0.1\nUpdatePort=%1\n[General]\nVersion=1.0\n"
                                "[Paths]\nTemp=temp\nBackup=backup\nLog=log/\n[Project]\nType=1\n")
                     .arg(port)
                     .toUtf8());
    config.close();
    CSystemConfig::setAppDirPath(appDir);
    CSystemConfig::reload();
    initLogging((appDir + QStringLiteral("/log/update.log")).toUtf8());

    QElapsedTimer timer;
    timer.start();
    CTCPUpdate update;
    if (!update.start() || !update.beginDownload())
        return 1;
    const qint64 elapsed = timer.nsecsElapsed();
    report(QFileInfo(appDir + QStringLiteral("/temp/") + QString::fromLatin1(FileName)).size(), elapsed);
    shutdownLogging();
    return 0;
}

bool writeRelease(const QString &dir, qint64 size)
{
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + QString::fromLatin1(FileName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(static_cast<int>(MiB), Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32 *>(block.data()), static_cast<qsizetype>(block.size() / sizeof(quint32)));
    for (qint64 done = 0; done < size; done += block.size())
        file.write(block.constData(), qMin<qint64>(block.size(), size - done));
    return file.error() == QFile::NoError;
}

struct Measure
{
    bool ok = false;
    qint64 bytes = 0;
    double seconds = 0;
    qint64 peakKiB = 0;
    double mibPerSecond() const { return seconds > 0 ? bytes / double(MiB) / seconds : 0; }
};

Measure runChild(const QStringList &arguments)
{
    QProcess child;
    child.setStandardOutputFile(QProcess::nullDevice());
    child.start(QCoreApplication::applicationFilePath(), arguments);
    Measure m;
    if (!child.waitForFinished(-1) || child.exitCode() != 0) {
        std::fprintf(stderr, "child %s failed: %s\n", qPrintable(arguments.join(' ')), child.readAllStandardError().constData());
        return m;
    }
    for (const QByteArray &line : child.readAllStandardError().split('\n')) {
        if (!line.startsWith("RESULT "))
            continue;
        for (const QByteArray &field : line.mid(7).split(' ')) {
            const QList<QByteArray> kv = field.split('=');
            if (kv.value(0) == "bytes")
                m.bytes = kv.value(1).toLongLong();
            else if (kv.value(0) == "ns")
                m.seconds = kv.value(1).toLongLong() / 1e9;
            else if (kv.value(0) == "peak_kib")
                m.peakKiB = kv.value(1).toLongLong();
        }
        m.ok = true;
    }
    return m;
}

void printRow(const char *what, qint64 size, const Measure &m)
{
    std::printf("%-28s %6lld MiB  %8.1f MiB/s  %6.2f s  peak %7.1f MiB%s\n", what, static_cast<long long>(size / MiB),
                m.mibPerSecond(), m.seconds, m.peakKiB / 1024.0, m.ok && m.bytes == size ? "" : "  (FAILED)");
}

} // namespace

int main(int argc, char *argv[])
{
    // Child modes: --baseline PORT OUT, --updater PORT APPDIR.
    if (argc == 4 && qstrcmp(argv[1], "--baseline") == 0) {
        QCoreApplication app(argc, argv);
        return runBaseline(static_cast<quint16>(QByteArray(argv[2]).toUInt()), QString::fromLocal8Bit(argv[3]));
    }
    if (argc == 4 && qstrcmp(argv[1], "--updater") == 0)
        return runUpdater(argc, argv, static_cast<quint16>(QByteArray(argv[2]).toUInt()), QString::fromLocal8Bit(argv[3]));

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption mibOption(QStringLiteral("mib"), QStringLiteral("Size of the large release."), QStringLiteral("MIB"), QStringLiteral("256"));
    const QCommandLineOption smallOption(QStringLiteral("small-mib"), QStringLiteral("Size of the small release."), QStringLiteral("MIB"), QStringLiteral("64"));
    parser.addHelpOption();
    parser.addOptions({mibOption, smallOption});
    parser.process(app);
    const qint64 large = parser.value(mibOption).toLongLong() * MiB;
    const qint64 small = parser.value(smallOption).toLongLong() * MiB;

    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    std::printf("TCP download benchmark: one file, %d KiB chunks, loopback, our update-tcp-server\n", ChunkSize / 1024);
    bool allOk = true;
    for (const qint64 size : {small, large}) {
        const QString release = work.filePath(QStringLiteral("release-%1").arg(size / MiB));
        if (!writeRelease(release, size))
            return 1;
        TcpServerProcess server({QStringLiteral("--root"), release, QStringLiteral("--version"), QStringLiteral("2.0"),
                                 QStringLiteral("--chunk-size"), QString::number(ChunkSize)});
        if (!server.start()) {
            std::fprintf(stderr, "%s\n", qPrintable(server.errorString()));
            return 1;
        }
        const QString port = QString::number(server.port());
        const QString baselineOut = work.filePath(QStringLiteral("baseline.bin"));
        const Measure baseline = runChild({QStringLiteral("--baseline"), port, baselineOut});
        QFile::remove(baselineOut);
        const QString appDir = work.filePath(QStringLiteral("app-%1").arg(size / MiB));
        QDir().mkpath(appDir);
        const Measure updater = runChild({QStringLiteral("--updater"), port, appDir});
        QDir(appDir).removeRecursively();
        QDir(release).removeRecursively();

        printRow("baseline (minimal reader)", size, baseline);
        printRow("CTCPUpdate", size, updater);
        if (baseline.mibPerSecond() > 0)
            std::printf("%-28s %6.0f %%\n", "  CTCPUpdate / baseline", 100.0 * updater.mibPerSecond() / baseline.mibPerSecond());
        allOk = allOk && baseline.ok && updater.ok && updater.bytes == size;
    }
    return allOk ? 0 : 1;
}
