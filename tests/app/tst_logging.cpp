#include "app/logging.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct ProbeRun
{
    QByteArray out;
    QByteArray err;
};

ProbeRun runProbe(const QStringList &arguments)
{
    QProcess probe;
    probe.start(QStringLiteral(LOGPROBE_PATH), arguments);
    if (!probe.waitForFinished(10000))
        qFatal("logprobe did not finish");
    ProbeRun run{probe.readAllStandardOutput(), probe.readAllStandardError()};
    // The C runtime and spdlog end lines with CR LF on Windows; the texts are what is tested.
    run.out.replace("\r\n", "\n");
    run.err.replace("\r\n", "\n");
    return run;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().replace("\r\n", "\n") : QByteArray();
}

// One formatted line: "[date time.ms] [level] [thread] text".
QRegularExpression linePattern(const char *level, const QString &text)
{
    return QRegularExpression(QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[%1\\] \\[\\d+\\] %2$")
                                  .arg(QLatin1String(level), QRegularExpression::escape(text)),
                              QRegularExpression::MultilineOption);
}

} // namespace

class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void fallbackBeforeInitialisation()
    {
        const ProbeRun run = runProbe({});
        QCOMPARE(run.out, QByteArray("[DEBUG] debug message\n[INFO] info message 中文\n[WARN] warn message\n"));
        QCOMPARE(run.err, QByteArray("[ERROR] error message\n"));
    }

    void fileGetsDebugConsoleGetsInfoAndAbove()
    {
        QTemporaryDir dir;
        const QString logFile = dir.filePath(QStringLiteral("logs/update.log"));
        const ProbeRun run = runProbe({logFile});
        const QString out = QString::fromUtf8(run.out);
        const QString file = QString::fromUtf8(readAll(logFile));

        QVERIFY2(!out.contains(QLatin1String("debug message")), qPrintable(out));
        QVERIFY2(linePattern("info", QStringLiteral("info message 中文")).match(out).hasMatch(), qPrintable(out));
        QVERIFY(linePattern("warning", QStringLiteral("warn message")).match(out).hasMatch());
        QVERIFY(linePattern("error", QStringLiteral("error message")).match(out).hasMatch());
        QVERIFY2(!out.contains(QChar(0x1b)), "a pipe must not receive colour codes");
        QCOMPARE(run.err, QByteArray());

        QVERIFY2(linePattern("debug", QStringLiteral("debug message")).match(file).hasMatch(), qPrintable(file));
        QVERIFY(linePattern("info", QStringLiteral("info message 中文")).match(file).hasMatch());
        QVERIFY(linePattern("warning", QStringLiteral("warn message")).match(file).hasMatch());
        QVERIFY(linePattern("error", QStringLiteral("error message")).match(file).hasMatch());
        QCOMPARE(file.count(QLatin1Char('\n')), 4);
    }

    void unopenableLogFileKeepsFallback()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("notadir")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const ProbeRun run = runProbe({dir.filePath(QStringLiteral("notadir/update.log"))});
        QVERIFY2(run.err.startsWith("Log initialization failed: "), run.err.constData());
        QVERIFY(run.err.endsWith("\n[ERROR] error message\n"));
        QCOMPARE(run.err.count('\n'), 2);
        QCOMPARE(run.out, QByteArray("[DEBUG] debug message\n[INFO] info message 中文\n[WARN] warn message\n"));
    }

    void rotationKeepsThreeOlderFiles()
    {
        QTemporaryDir dir;
        const QString logFile = dir.filePath(QStringLiteral("update.log"));
        initLogging(logFile.toUtf8());
        const QString line(1000, QLatin1Char('x'));
        for (int i = 0; i < 24 * 1024; ++i) // about 24 MiB: more than four full files
            logDebug(line);
        shutdownLogging();

        const QStringList files = QDir(dir.path()).entryList(QDir::Files, QDir::Name);
        QCOMPARE(files, QStringList({"update.1.log", "update.2.log", "update.3.log", "update.log"}));
        for (const QString &name : files)
            QVERIFY2(QFileInfo(dir.filePath(name)).size() <= 5242880, qPrintable(name));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("update.1.log"))).size() > 5000000);
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
