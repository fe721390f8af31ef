// Signed releases with the real update.exe over both transports: with [Update] PublicKey set, a
// release is installed only when it is the signed release the server announced, of no lower
// version, every file as the manifest names it; anything else is refused with nothing applied.

#include "common/httpserverprocess.h"
#include "common/minisigntool.h"
#include "common/sandbox.h"
#include "common/tcpserverprocess.h"

#include "fileops/md5list.h"

#include <QtTest>

using namespace EndToEnd;

namespace {

// What happens to the release between the publisher and the client.
enum class Tamper { None, Unsigned, OtherKey, ByteChanged, FileAdded, ManifestEdited, Downgrade, OtherVersion };

} // namespace

Q_DECLARE_METATYPE(Tamper)

class TestSignedUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_keys;
    MinisignTool::KeyPair m_release;
    MinisignTool::KeyPair m_other;


    // The release's MD5 list made again after a change, as whoever changed the files would do:
    // the list is not signed.
    static bool relist(const QString &folder)
    {
        QFile::remove(folder + QStringLiteral("/md5.txt"));
        Md5ListGenerator(folder + QLatin1Char('/')).generate();
        return QFileInfo::exists(folder + QStringLiteral("/md5.txt"));
    }

    static bool editLine(const QString &file, const QByteArray &from, const QByteArray &to)
    {
        QByteArray text = PublishedRelease::readFile(file);
        if (!text.contains(from))
            return false;
        text.replace(from, to);
        return PublishedRelease::writeFile(file, text);
    }

private slots:
    void initTestCase()
    {
        if (MinisignTool::executable().isEmpty())
            QSKIP("minisign is not installed; run scripts/setup");
        QString error;
        QVERIFY2(MinisignTool::generate(m_keys.path(), QStringLiteral("release"), QByteArray(), &m_release, &error),
                 qPrintable(error));
        QVERIFY2(MinisignTool::generate(m_keys.path(), QStringLiteral("other"), QByteArray(), &m_other, &error),
                 qPrintable(error));
    }

    void signedRelease_data()
    {
        QTest::addColumn<bool>("http");
        QTest::addColumn<Tamper>("tamper");
        QTest::addColumn<QString>("error"); // the beginning of the refusal; empty: installed
        for (const bool http : {false, true}) {
            const char *t = http ? "http" : "tcp";
            QTest::addRow("%s: signed", t) << http << Tamper::None << QString();
            QTest::addRow("%s: not signed", t) << http << Tamper::Unsigned << QStringLiteral("release not signed");
            QTest::addRow("%s: signed by another key", t) << http << Tamper::OtherKey
                                                          << QStringLiteral("signature made by an unknown key");
            QTest::addRow("%s: one byte changed", t) << http << Tamper::ByteChanged
                                                     << QStringLiteral("file does not match manifest: /bin/core.dll");
            QTest::addRow("%s: a file added", t) << http << Tamper::FileAdded
                                                 << QStringLiteral("file not in manifest: /bin/added.dll");
            QTest::addRow("%s: manifest edited after signing", t) << http << Tamper::ManifestEdited
                                                                  << QStringLiteral("signature invalid");
            QTest::addRow("%s: older signed version", t) << http << Tamper::Downgrade
                                                         << QStringLiteral("downgrade refused: 0.9.0 is older than the installed 1.0.0");
            QTest::addRow("%s: manifest of another version", t)
                << http << Tamper::OtherVersion << QStringLiteral("manifest of version 1.2.0, the server announced 1.1.0");
        }
    }

    void signedRelease()
    {
        QFETCH(bool, http);
        QFETCH(Tamper, tamper);
        QFETCH(QString, error);
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());

        const QString version = tamper == Tamper::Downgrade ? QStringLiteral("0.9.0")
            : tamper == Tamper::OtherVersion                ? QStringLiteral("1.2.0")
                                                            : QStringLiteral("1.1.0");
        const QString out = http ? sandbox.wwwDir() : sandbox.root() + QStringLiteral("/tcp");
        QStringList extra;
        if (!http)
            extra << QStringLiteral("--tcp");
        if (tamper != Tamper::Unsigned)
            extra << QStringLiteral("--sign") << (tamper == Tamper::OtherKey ? m_other : m_release).secretKeyFile;
        const PublishedRelease::Result published = PublishedRelease::publish(
            sandbox.releaseDir(), out, version, http ? QStringLiteral("1.1.0") : QString(), extra);
        QVERIFY2(published.exitCode == 0, qPrintable(published.output));

        // The files as the server holds them, and what a tamperer does to them.
        const QString files = http ? out + QStringLiteral("/1.1.0") : out;
        if (tamper == Tamper::ByteChanged)
            QVERIFY(editLine(files + QStringLiteral("/bin/core.dll"), "1.1.0", "1.1.1"));
        if (tamper == Tamper::FileAdded)
            QVERIFY(PublishedRelease::writeFile(files + QStringLiteral("/bin/added.dll"), "not released"));
        if (tamper == Tamper::ManifestEdited)
            QVERIFY(editLine(files + QStringLiteral("/release.manifest"), "version 1.1.0", "version 1.1.5"));
        if (http && (tamper == Tamper::ByteChanged || tamper == Tamper::FileAdded || tamper == Tamper::ManifestEdited))
            QVERIFY(relist(files));
        // The check announces 1.1.0 while the signed manifest is of 1.2.0.
        if (http && tamper == Tamper::OtherVersion)
            QVERIFY(editLine(out + QStringLiteral("/update.ini"), "Version=1.2.0", "Version=1.1.0"));

        std::unique_ptr<TcpServerProcess> tcp;
        std::unique_ptr<HttpServerProcess> web;
        TestConfig config;
        if (http) {
            web = std::make_unique<HttpServerProcess>(out);
            QVERIFY2(web->isReady(), qPrintable(web->errorString()));
            config = Sandbox::config(closedPort(), web->baseUrl(), true);
        } else {
            const QString announced = tamper == Tamper::OtherVersion ? QStringLiteral("1.1.0") : version;
            tcp = std::make_unique<TcpServerProcess>(QStringList{"--root", out, "--version", announced});
            QVERIFY2(tcp->start(), qPrintable(tcp->errorString()));
            config = Sandbox::config(tcp->port());
        }
        config.publicKey = m_release.publicKey;
        QVERIFY(sandbox.configure(config));
        const Snapshot before = sandbox.installed();

        const RunResult result = sandbox.run({QStringLiteral("console")});
        QVERIFY(result.finished);
        QCOMPARE(result.jsonLines(), QList<QByteArray>{kUpdateLine});
        const QString log = QString::fromUtf8(sandbox.log());
        if (error.isEmpty()) {
            QCOMPARE(result.exitCode, 0);
            QVERIFY2(log.contains(QStringLiteral("发布包签名验证通过: 版本 1.1.0, 密钥 ") + m_release.keyId), qPrintable(log.right(600)));
            QCOMPARE(TestInstallation::read(sandbox.path(QStringLiteral("bin/core.dll"))), releaseFiles().value("bin/core.dll"));
            QVERIFY(sandbox.hostStarted());
            return;
        }
        QCOMPARE(result.exitCode, 3);
        QVERIFY2(log.contains(QStringLiteral("发布包验证失败，拒绝安装: ") + error), qPrintable(log.right(800)));
        // Nothing applied: the installation as it was (an HTTP check may list the installed files).
        Snapshot after = sandbox.installed();
        if (http && !before.contains(QStringLiteral("md5.txt")))
            after.remove(QStringLiteral("md5.txt"));
        QCOMPARE(after, before);
        QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
    }

    // A key that is not a minisign public key stops the updater before it checks anything.
    void unusableKeyRefusesToStart()
    {
        Sandbox sandbox;
        TestConfig config = Sandbox::config(closedPort());
        config.publicKey = QStringLiteral("RWQnot-a-key");
        QVERIFY(sandbox.configure(config));
        const RunResult result = sandbox.run({QStringLiteral("console")});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.jsonLines(), QList<QByteArray>{kInitFailedLine});
        QVERIFY(QString::fromUtf8(sandbox.log()).contains(QStringLiteral("[Update] PublicKey 无效: ")));
    }
};

QTEST_GUILESS_MAIN(TestSignedUpdate)
#include "tst_signedupdate.moc"
