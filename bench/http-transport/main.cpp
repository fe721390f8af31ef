// Prints, in one run:
//  - HTTP: MiB/s and peak memory of the dialog's two downloads (the synchronous downloadFile and
//    the download queue with its MD5 check) fetching one large file from python's http.server on
//    127.0.0.1, next to `curl -o` of the same file from the same server;
//  - MD5 list: MiB/s of Md5ListGenerator over a tree of many files, next to md5sum over the same
//    files.
// Every figure is the best of several runs with a warm page cache.
//
// bench-http-transport [--download-mib N] [--files N] [--tree-mib N] [--runs N] 

#include "common/httpserverprocess.h"
#include "config/systemconfig.h"
#include "fileops/md5list.h"
#include "http/widget.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

extern char **environ;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr double TargetRatio = 0.8;     // at least 80 % of the reference tool's throughput
constexpr double MemoryLimitMiB = 100;  // peak resident memory while downloading
constexpr useconds_t ChildPollMicroseconds = 2000;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Peak resident set size of this process in MiB since the last resetPeakMemory().
double peakMemoryMiB(const QString &statusPath = QStringLiteral("/proc/self/status"))
{
    QFile status(statusPath);
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

// Writing 5 to clear_refs restarts the kernel's peak RSS count at the current RSS.
void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

bool writeRandomFile(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    std::vector<quint32> buffer(MiB / sizeof(quint32));
    for (qint64 left = size; left > 0;) {
        QRandomGenerator::global()->fillRange(buffer.data(), static_cast<qsizetype>(buffer.size()));
        const qint64 n = std::min<qint64>(left, MiB);
        if (file.write(reinterpret_cast<const char *>(buffer.data()), n) != n)
            return false;
        left -= n;
    }
    return true;
}

struct Run
{
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
};

// Runs a program with its standard output thrown away; peak memory from the kernel's count.
Run runChild(const QStringList &arguments)
{
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &argument : arguments)
        storage.push_back(QFile::encodeName(argument));
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    Run run;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        // The kernel's maxrss of a spawned child starts at the parent's size (the child shares our
        // memory until it executes), so the child's own peak is sampled from /proc while it runs.
        const QString statusPath = QStringLiteral("/proc/%1/status").arg(pid);
        int status = 0;
        for (;;) {
            const double peak = peakMemoryMiB(statusPath);
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid)
                break;
            if (done < 0)
                return run;
            run.peakMiB = std::max(run.peakMiB, peak);
            usleep(ChildPollMicroseconds);
        }
        run.seconds = timer.nsecsElapsed() / 1e9;
        run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

Run best(const std::vector<Run> &runs)
{
    Run result;
    for (const Run &run : runs) {
        if (!run.ok)
            return run;
        if (!result.ok || run.seconds < result.seconds)
            result = Run{run.seconds, std::max(result.peakMiB, run.peakMiB), true};
        else
            result.peakMiB = std::max(result.peakMiB, run.peakMiB);
    }
    return result;
}

double rate(qint64 bytes, const Run &run)
{
    return run.ok && run.seconds > 0 ? bytes / double(MiB) / run.seconds : 0;
}

void printRow(const char *name, qint64 bytes, const Run &run, bool withMemory)
{
    if (!run.ok) {
        out() << QStringLiteral("  %1 FAILED").arg(QLatin1String(name), -34) << Qt::endl;
        return;
    }
    out() << QStringLiteral("  %1 %2 MiB/s  (%3 s)").arg(QLatin1String(name), -34).arg(rate(bytes, run), 8, 'f', 1).arg(run.seconds, 0, 'f', 3);
    if (withMemory)
        out() << QStringLiteral("  peak RSS %1 MiB").arg(run.peakMiB, 0, 'f', 1);
    out() << Qt::endl;
}

void printVerdict(const char *what, double ours, double reference)
{
    const double ratio = reference > 0 ? ours / reference : 0;
    out() << QStringLiteral("  %1 %2 % of the reference (target >= %3 %): %4")
                 .arg(QLatin1String(what), -34)
                 .arg(ratio * 100, 0, 'f', 1)
                 .arg(TargetRatio * 100, 0, 'f', 0)
                 .arg(ratio >= TargetRatio ? QStringLiteral("met") : QStringLiteral("MISSED"))
          << Qt::endl;
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

void benchDownload(const QString &root, qint64 size, int runs)
{
    const QString www = root + QStringLiteral("/www");
    const QString app = root + QStringLiteral("/app");
    const QString big = www + QStringLiteral("/rel/big.bin");
    QDir().mkpath(app);
    if (!writeRandomFile(big, size)) {
        out() << "cannot write " << big << Qt::endl;
        return;
    }
    // A release for the queue, laid out as update-publish does: update.ini and rel/md5.txt.
    writeText(www + QStringLiteral("/update.ini"), "[Version]\nVersion=2\nFolder=rel\n");
    const QString sourceMd5 = fileMd5(big);
    (void)writeList(Md5List{{QStringLiteral("/big.bin"), sourceMd5}}, www + QStringLiteral("/rel/md5.txt"));

    HttpServerProcess server(www);
    if (!server.isReady()) {
        out() << "server: " << server.errorString() << Qt::endl;
        return;
    }
    writeText(app + QStringLiteral("/system.cfg"),
              QStringLiteral("[Update]\nURL=%1\n[Paths]\nTemp=temp\nBackup=backup\n").arg(server.baseUrl()).toUtf8());
    CSystemConfig::setAppDirPath(app);
    CSystemConfig::reload();

    const QString url = server.baseUrl() + QStringLiteral("rel/big.bin");
    const QString target = root + QStringLiteral("/downloaded.bin");
    std::vector<Run> oursSync, oursQueue, curl, curlAndSum;
    for (int i = 0; i < runs; ++i) {
        {
            Widget widget;
            QFile::remove(target);
            resetPeakMemory();
            QElapsedTimer timer;
            timer.start();
            const bool ok = widget.downloadFile(url, target);
            const double seconds = timer.nsecsElapsed() / 1e9;
            const double peak = peakMemoryMiB();
            // Checked outside the timing: a fast but wrong download must not count.
            oursSync.push_back(Run{seconds, peak, ok && fileMd5(target) == sourceMd5});
        }
        {
            Widget widget;
            bool finished = false;
            bool success = false;
            QObject::connect(&widget, &Widget::sigUpdateResult, &widget, [&](bool result) {
                if (!finished) {
                    finished = true;
                    success = result;
                }
            });
            if (widget.checkVersion() != int(VersionCheckResult::UpdateNeeded)
                || widget.checkMd5() != int(Md5CheckResult::ChangesFound)) {
                oursQueue.push_back(Run{});
            } else {
                resetPeakMemory();
                QElapsedTimer timer;
                timer.start();
                widget.startUpdate();
                while (!finished)
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                oursQueue.push_back(Run{timer.nsecsElapsed() / 1e9, peakMemoryMiB(), success});
            }
        }
        QFile::remove(target);
        curl.push_back(runChild({QStringLiteral("curl"), QStringLiteral("-s"), QStringLiteral("-f"),
                                 QStringLiteral("-o"), target, url}));
        curl.back().ok = curl.back().ok && QFileInfo(target).size() == size;
        const Run sum = runChild({QStringLiteral("md5sum"), target});
        curlAndSum.push_back(Run{curl.back().seconds + sum.seconds, std::max(curl.back().peakMiB, sum.peakMiB),
                                 curl.back().ok && sum.ok});
    }
    const Run sync = best(oursSync);
    const Run queue = best(oursQueue);
    const Run reference = best(curl);
    const Run referenceWithSum = best(curlAndSum);
    out() << QStringLiteral("HTTP download of a %1 MiB file from python3 -m http.server on 127.0.0.1 (best of %2)")
                 .arg(size / MiB)
                 .arg(runs)
          << Qt::endl;
    printRow("Widget::downloadFile", size, sync, true);
    printRow("download queue incl. MD5 check", size, queue, true);
    printRow("curl -o", size, reference, true);
    printRow("curl -o, then md5sum of the file", size, referenceWithSum, true);
    printVerdict("downloadFile vs curl -o:", rate(size, sync), rate(size, reference));
    printVerdict("queue vs curl -o + md5sum:", rate(size, queue), rate(size, referenceWithSum));
    printVerdict("queue vs curl -o alone:", rate(size, queue), rate(size, reference));
    const double peak = std::max(sync.peakMiB, queue.peakMiB);
    out() << QStringLiteral("  %1 %2 MiB (limit %3 MiB): %4")
                 .arg(QStringLiteral("peak RSS of the updater process:"), -34)
                 .arg(peak, 0, 'f', 1)
                 .arg(MemoryLimitMiB, 0, 'f', 0)
                 .arg(peak < MemoryLimitMiB ? QStringLiteral("met") : QStringLiteral("MISSED"))
          << Qt::endl;
    CSystemConfig::setAppDirPath(QString());
}

void benchMd5List(const QString &root, int files, qint64 treeSize, int runs)
{
    const QString tree = root + QStringLiteral("/tree/");
    QStringList paths;
    qint64 total = 0;
    const qint64 each = treeSize / files;
    constexpr int FilesPerDirectory = 100;
    for (int i = 0; i < files; ++i) {
        const qint64 size = i == files - 1 ? treeSize - each * (files - 1) : each;
        const QString path = tree + QStringLiteral("d%1/f%2.bin").arg(i / FilesPerDirectory).arg(i);
        if (!writeRandomFile(path, size)) {
            out() << "cannot write " << path << Qt::endl;
            return;
        }
        paths << path;
        total += size;
    }
    std::vector<Run> ours, md5sum;
    QStringList md5sumArguments{QStringLiteral("md5sum")};
    md5sumArguments += paths;
    for (int i = 0; i < runs; ++i) {
        md5sum.push_back(runChild(md5sumArguments));
        QFile::remove(tree + QLatin1String(Md5ListFileName));
        QElapsedTimer timer;
        timer.start();
        Md5ListGenerator(tree).generate();
        const double seconds = timer.nsecsElapsed() / 1e9;
        ours.push_back(Run{seconds, 0, readMd5List(tree + QLatin1String(Md5ListFileName)).size() == files});
    }
    const Run list = best(ours);
    const Run reference = best(md5sum);
    out() << QStringLiteral("MD5 list over %1 files / %2 MiB (best of %3, warm cache)").arg(files).arg(total / MiB).arg(runs)
          << Qt::endl;
    printRow("Md5ListGenerator::generate", total, list, false);
    printRow("md5sum", total, reference, false);
    printVerdict("MD5 list vs md5sum:", rate(total, list), rate(total, reference));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption downloadOption(QStringLiteral("download-mib"), QStringLiteral("size of the downloaded file"),
                                            QStringLiteral("N"), QStringLiteral("256"));
    const QCommandLineOption filesOption(QStringLiteral("files"), QStringLiteral("files in the MD5 tree"), QStringLiteral("N"),
                                         QStringLiteral("2000"));
    const QCommandLineOption treeOption(QStringLiteral("tree-mib"), QStringLiteral("size of the MD5 tree"), QStringLiteral("N"),
                                        QStringLiteral("512"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("runs per figure"), QStringLiteral("N"),
                                        QStringLiteral("3"));
    parser.addOptions({downloadOption, filesOption, treeOption, runsOption});
    parser.process(app);

    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    const int runs = std::max(1, parser.value(runsOption).toInt());
    benchDownload(root.path(), parser.value(downloadOption).toLongLong() * MiB, runs);
    benchMd5List(root.path(), std::max(1, parser.value(filesOption).toInt()), parser.value(treeOption).toLongLong() * MiB, runs);
    return 0;
}
