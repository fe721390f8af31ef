#include "http/chttpupdate.h"
#include "http/widget.h"

#include "httptestsupport.h"
#include "scriptedhttpserver.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

using PublishedRelease::readFile;

namespace {

constexpr qint64 kSmallLimit = 256 * 1024;
constexpr int kBlock = 64 * 1024;
// Beyond a limit, the client stops reading at once; what the server could still hand to the
// system's socket buffers until the connection ends is bounded by those buffers.
constexpr qint64 kSocketBuffers = 8 * 1024 * 1024;
constexpr int kResultTimeoutMs = 20000;

// Short limits, so that the tests do not wait for the real ones.
HttpLimits quickLimits()
{
    HttpLimits limits = HttpLimits::defaults();
    limits.md5ListBytes = kSmallLimit;
    limits.fileBytes = kSmallLimit;
    limits.minBytesPerSecond = 200;
    limits.rateWindowMs = 600;
    limits.checkDeadlineMs = 2000;
    limits.transferTimeoutMs = 1000;
    return limits;
}

const QByteArray kVersionFile = "[Version]\nVersion=2.0\nFolder=2.0\n";

} // namespace

// The HTTP dialog against servers that send without end, drip, or go silent: every request ends,
// as a failure that says what happened, and leaves nothing behind.
class TestHttpLimits : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LogCapture> m_log;

    // Answers update.ini and md5.txt properly, and what the test wants for the rest.
    static ScriptedHttpServer::Responder releaseWith(const QByteArray &list,
                                                     std::function<void(ScriptedHttpServer::Exchange &)> file)
    {
        return [list, file](ScriptedHttpServer &, ScriptedHttpServer::Exchange &exchange) {
            if (exchange.path == QLatin1String("/update.ini"))
                ScriptedHttpServer::reply(exchange, kVersionFile);
            else if (exchange.path == QLatin1String("/2.0/md5.txt"))
                ScriptedHttpServer::reply(exchange, list);
            else
                file(exchange);
        };
    }

private slots:
    void initTestCase() { m_log = std::make_unique<LogCapture>(); }
    void cleanupTestCase() { m_log.reset(); }

    void endlessCheckReplyIsCut_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("limit");
        QTest::newRow("version file") << QStringLiteral("/update.ini") << HttpLimits::defaults().versionFileBytes;
        QTest::newRow("MD5 list") << QStringLiteral("/2.0/md5.txt") << kSmallLimit;
    }

    void endlessCheckReplyIsCut()
    {
        QFETCH(QString, path);
        QFETCH(qint64, limit);
        ScriptedHttpServer server([&](ScriptedHttpServer &, ScriptedHttpServer::Exchange &exchange) {
            if (exchange.path == path) {
                ScriptedHttpServer::head(exchange, -1);
                ScriptedHttpServer::endless(exchange, QByteArray(kBlock, 'x'));
            } else {
                ScriptedHttpServer::reply(exchange, kVersionFile);
            }
        });
        QVERIFY(server.listen());
        TestInstallation inst(TestInstallation::Bare);
        QVERIFY(inst.configure(TestConfig::http(server.baseUrl())));
        Widget w;
        w.setLimits(quickLimits());
        const bool versionFile = path == QLatin1String("/update.ini");
        if (versionFile) {
            QCOMPARE(w.checkVersion(), int(VersionCheckResult::DownloadFailed));
        } else {
            QCOMPARE(w.checkVersion(), int(VersionCheckResult::UpdateNeeded));
            QCOMPARE(w.checkMd5(), int(Md5CheckResult::DownloadFailed));
        }
        const QString expected = QStringLiteral("超出大小上限(%1 字节)").arg(limit);
        QVERIFY2(w.checkError().endsWith(expected), qPrintable(w.checkError()));
        QVERIFY(m_log->text().contains(QStringLiteral("请求失败: ") + server.baseUrl() + path.mid(1) + QStringLiteral(" (")
                                       + expected + QLatin1Char(')')));
        QVERIFY2(server.bodyBytesSent(path) < limit + kSocketBuffers, qPrintable(QString::number(server.bodyBytesSent(path))));
        const QString local = inst.path(versionFile ? QStringLiteral("update/updateTmp.ini") : QStringLiteral("update/md5Tmp.txt"));
        QVERIFY2(!QFileInfo::exists(local), "nothing of the reply is kept");
    }

    void queuedFileBeyondItsLimitFails_data()
    {
        QTest::addColumn<qint64>("contentLength"); // -1: none, the body goes on without end
        QTest::addColumn<qint64>("limit");
        QTest::newRow("endless body") << qint64(-1) << kSmallLimit;
        QTest::newRow("announced larger than the limit") << kSmallLimit * 4 << kSmallLimit;
    }

    void queuedFileBeyondItsLimitFails()
    {
        QFETCH(qint64, contentLength);
        QFETCH(qint64, limit);
        ScriptedHttpServer server(releaseWith("0123456789abcdef0123456789abcdef\t/big.bin\n",
                                              [&](ScriptedHttpServer::Exchange &exchange) {
                                                  ScriptedHttpServer::head(exchange, contentLength);
                                                  ScriptedHttpServer::endless(exchange, QByteArray(kBlock, 'b'));
                                              }));
        QVERIFY(server.listen());
        TestInstallation inst(TestInstallation::Bare);
        QVERIFY(inst.configure(TestConfig::http(server.baseUrl())));
        Widget w;
        w.setLimits(quickLimits());
        QCOMPARE(w.checkVersion(), int(VersionCheckResult::UpdateNeeded));
        QCOMPARE(w.checkMd5(), int(Md5CheckResult::ChangesFound));
        QSignalSpy result(&w, &Widget::sigUpdateResult);
        w.startUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, kResultTimeoutMs);
        QCOMPARE(result.first().first().toBool(), false);
        QCOMPARE(w.failureText(), QStringLiteral("下载错误:超出大小上限(%1 字节)").arg(limit));
        QVERIFY(server.bodyBytesSent(QStringLiteral("/2.0//big.bin")) < limit + kSocketBuffers);
        QVERIFY2(!QFileInfo::exists(inst.path(QStringLiteral("temp/big.bin"))), "nothing of the file is kept");
    }

    // A server that keeps each request just alive: the rate limit, or the checks' deadline, ends it.
    void slowServerTimesOut_data()
    {
        QTest::addColumn<bool>("rateLimit"); // false: only the deadline of the checks
        QTest::addColumn<QString>("error");
        QTest::newRow("below the minimum rate") << true << QStringLiteral("超时: 0.6 秒内平均每秒收到的数据少于 200 字节");
        QTest::newRow("past the deadline") << false << QStringLiteral("超时: 检查更新超过 2 秒");
    }

    void slowServerTimesOut()
    {
        QFETCH(bool, rateLimit);
        QFETCH(QString, error);
        ScriptedHttpServer server([](ScriptedHttpServer &, ScriptedHttpServer::Exchange &exchange) {
            ScriptedHttpServer::head(exchange, 1000);
            ScriptedHttpServer::drip(exchange, "v", 100);
        });
        QVERIFY(server.listen());
        TestInstallation inst(TestInstallation::Bare);
        QVERIFY(inst.configure(TestConfig::http(server.baseUrl())));
        Widget w;
        HttpLimits limits = quickLimits();
        if (!rateLimit)
            limits.minBytesPerSecond = 0;
        w.setLimits(limits);
        CHttpUpdate update;
        update.setWidget(&w);
        QVERIFY(!update.start());
        QVERIFY(update.checkFailed());
        QCOMPARE(update.errorText(), QStringLiteral("下载%1update.ini失败: ").arg(server.baseUrl()) + error);
        QVERIFY(!QFileInfo::exists(inst.path(QStringLiteral("update/updateTmp.ini"))));
    }

    // A request that gets nothing for the transfer time-out ends as a time-out, in the checks and
    // in the queue, never as "Operation canceled".
    void silenceIsATimeout()
    {
        ScriptedHttpServer server(releaseWith("0123456789abcdef0123456789abcdef\t/quiet.bin\n",
                                              [](ScriptedHttpServer::Exchange &exchange) {
                                                  ScriptedHttpServer::head(exchange, 100);
                                              }));
        QVERIFY(server.listen());
        TestInstallation inst(TestInstallation::Bare);
        QVERIFY(inst.configure(TestConfig::http(server.baseUrl())));
        Widget w;
        HttpLimits limits = quickLimits();
        limits.minBytesPerSecond = 0; // only the transfer time-out
        w.setLimits(limits);
        QCOMPARE(w.checkVersion(), int(VersionCheckResult::UpdateNeeded));
        QCOMPARE(w.checkMd5(), int(Md5CheckResult::ChangesFound));
        QSignalSpy result(&w, &Widget::sigUpdateResult);
        w.startUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, kResultTimeoutMs);
        QCOMPARE(w.failureText(), QStringLiteral("下载错误:超时: 1 秒内未收到数据"));
        QVERIFY(m_log->text().contains(QStringLiteral("请求失败: ") + server.baseUrl()
                                       + QStringLiteral("2.0//quiet.bin (超时: 1 秒内未收到数据)")));

        // The same for a check.
        QVERIFY(w.downloadFile(server.baseUrl() + QStringLiteral("2.0//quiet.bin"), inst.path(QStringLiteral("update/q.bin")))
                == false);
        QCOMPARE(w.status().detailText, QStringLiteral("下载超时（1秒）：") + server.baseUrl() + QStringLiteral("2.0//quiet.bin"));
    }
};

QTEST_MAIN(TestHttpLimits)
#include "tst_httplimits.moc"
