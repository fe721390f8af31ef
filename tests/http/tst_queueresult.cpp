// The HTTP download queue reports one result per queue, whatever happens to it and in whichever
// order: finished, cancelled, a file that cannot be written, a time-out, the dialog destroyed, and
// combinations of them. A queue never started reports nothing.

#include "http/widget.h"

#include "httptestsupport.h"
#include "scriptedhttpserver.h"

#include <QCryptographicHash>
#include <QtTest>

namespace {

const QByteArray kPayload(200 * 1024, 'p');
constexpr int kTimeoutMs = 500;
constexpr int kSettleMs = 300;
constexpr int kResultTimeoutMs = 20000;

QByteArray md5Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

} // namespace

class TestQueueResult : public QObject
{
    Q_OBJECT

private slots:
    void resultIsReportedOnce_data()
    {
        QTest::addColumn<QString>("server");   // how the file is sent: whole, slow, silent
        QTest::addColumn<QStringList>("steps"); // what happens, in order
        QTest::addColumn<QList<bool>>("results");
        QTest::newRow("finishes") << "whole" << QStringList{"start", "wait"} << QList<bool>{true};
        QTest::newRow("finishes, then destroyed") << "whole" << QStringList{"start", "wait", "destroy"} << QList<bool>{true};
        QTest::newRow("cancelled") << "slow" << QStringList{"start", "cancel"} << QList<bool>{false};
        QTest::newRow("cancelled twice") << "slow" << QStringList{"start", "cancel", "cancel"} << QList<bool>{false};
        QTest::newRow("cancelled, then destroyed") << "slow" << QStringList{"start", "cancel", "destroy"} << QList<bool>{false};
        QTest::newRow("destroyed while running") << "slow" << QStringList{"start", "destroy"} << QList<bool>{false};
        QTest::newRow("timed out") << "silent" << QStringList{"start", "wait"} << QList<bool>{false};
        QTest::newRow("timed out, then cancelled and destroyed")
            << "silent" << QStringList{"start", "wait", "cancel", "destroy"} << QList<bool>{false};
        QTest::newRow("write error") << "whole" << QStringList{"full", "start", "wait"} << QList<bool>{false};
        QTest::newRow("write error, then cancelled") << "whole" << QStringList{"full", "start", "wait", "cancel"}
                                                     << QList<bool>{false};
        QTest::newRow("started again while running, then cancelled")
            << "slow" << QStringList{"start", "start", "cancel"} << QList<bool>{false};
        QTest::newRow("never started, cancelled") << "whole" << QStringList{"cancel"} << QList<bool>{};
        QTest::newRow("never started, destroyed") << "whole" << QStringList{"destroy"} << QList<bool>{};
    }

    void resultIsReportedOnce()
    {
        QFETCH(QString, server);
        QFETCH(QStringList, steps);
        QFETCH(QList<bool>, results);
        ScriptedHttpServer http([&](ScriptedHttpServer &, ScriptedHttpServer::Exchange &exchange) {
            if (exchange.path == QLatin1String("/update.ini")) {
                ScriptedHttpServer::reply(exchange, "[Version]\nVersion=2.0\nFolder=2.0\n");
            } else if (exchange.path == QLatin1String("/2.0/md5.txt")) {
                ScriptedHttpServer::reply(exchange, md5Hex(kPayload) + "\t/file.bin\n");
            } else if (server == QLatin1String("whole")) {
                ScriptedHttpServer::reply(exchange, kPayload);
            } else {
                ScriptedHttpServer::head(exchange, kPayload.size());
                if (server == QLatin1String("slow"))
                    ScriptedHttpServer::drip(exchange, kPayload.left(1024), 50);
            }
        });
        QVERIFY(http.listen());
        TestInstallation inst(TestInstallation::Bare);
        QVERIFY(inst.configure(TestConfig::http(http.baseUrl())));

        auto *widget = new Widget;
        HttpLimits limits = HttpLimits::defaults();
        limits.transferTimeoutMs = kTimeoutMs;
        widget->setLimits(limits);
        QList<bool> seen;
        connect(widget, &Widget::sigUpdateResult, this, [&seen](bool ok) { seen << ok; });
        bool checked = false;
        for (const QString &step : qAsConst(steps)) {
            if (step == QLatin1String("full")) {
#ifdef Q_OS_WIN
                QSKIP("no /dev/full on Windows");
#else
                // Writes to /dev/full fail with "no space left", like a full disk.
                QVERIFY(QDir().mkpath(inst.path(QStringLiteral("temp"))));
                QVERIFY(QFile::link(QStringLiteral("/dev/full"), inst.path(QStringLiteral("temp/file.bin"))));
#endif
            } else if (step == QLatin1String("start")) {
                if (!checked) {
                    QCOMPARE(widget->checkVersion(), int(VersionCheckResult::UpdateNeeded));
                    QCOMPARE(widget->checkMd5(), int(Md5CheckResult::ChangesFound));
                    checked = true;
                }
                widget->startUpdate();
                QTest::qWait(100); // the request is in flight
            } else if (step == QLatin1String("wait")) {
                QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty(), kResultTimeoutMs);
            } else if (step == QLatin1String("cancel")) {
                widget->cancelUpdate();
            } else if (step == QLatin1String("destroy")) {
                delete widget;
                widget = nullptr;
            }
        }
        QTest::qWait(kSettleMs); // room for a second, wrong result
        delete widget;
        QCOMPARE(seen, results);
    }
};

QTEST_MAIN(TestQueueResult)
#include "tst_queueresult.moc"
