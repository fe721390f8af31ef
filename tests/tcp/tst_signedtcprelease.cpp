#include "common/minisigntool.h"
#include "common/publishedrelease.h"
#include "tcptestsupport.h"

#include "fileops/signedrelease.h"
#include "tcp/ctcpupdate.h"

#include <QSignalSpy>
#include <QtTest>

// A release signed by update-publish --tcp --sign, served by update-tcp-server and downloaded by
// CTCPUpdate: the manifest and its signature travel as ordinary files, and the download they land
// in verifies (or, when the release was changed after signing, is refused by the manifest check).
class TestSignedTcpRelease : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_keys;
    MinisignTool::KeyPair m_key;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(MinisignTool::generate(m_keys.path(), "release", QByteArray(), &m_key, &error), qPrintable(error));
    }

    void signedFilesAreServedLikeAnyOther_data()
    {
        QTest::addColumn<QString>("change");   // made to the served directory after signing
        QTest::addColumn<QString>("expected"); // the manifest check's errorText()
        QTest::newRow("signed release") << "" << "";
        QTest::newRow("one byte changed after signing") << "change" << "file does not match manifest: /bin/b.dll";
        QTest::newRow("file added after signing") << "add" << "file not in manifest: /extra.dll";
        QTest::newRow("unsigned release") << "unsigned" << "release not signed";
    }

    void signedFilesAreServedLikeAnyOther()
    {
        QFETCH(QString, change);
        QFETCH(QString, expected);
        TestInstallation install(TestInstallation::Bare);
        QVERIFY(install.isValid());
        QTemporaryDir source;
        QVERIFY(PublishedRelease::writeTree(source.path(), {{"a.txt", "a\n"}, {"bin/b.dll", "b\n"}, {"数据/c d.txt", ""}}));
        QStringList options{"--tcp"};
        if (change != "unsigned")
            options << "--sign" << m_key.secretKeyFile;
        const auto published = PublishedRelease::publish(source.path(), install.releaseDir(), "2.0", QString(), options);
        QVERIFY2(published.exitCode == 0, qPrintable(published.output));
        if (change == "change")
            QVERIFY(PublishedRelease::writeFile(install.releaseDir() + "/bin/b.dll", "B\n"));
        else if (change == "add")
            QVERIFY(PublishedRelease::writeFile(install.releaseDir() + "/extra.dll", "x"));

        auto server = startReleaseServer(install);
        install.configure(tcpConfig(server->port()));
        CTCPUpdate update;
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(result.isValid());
        QVERIFY(update.start());
        QVERIFY(update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), true);
        const int signedFiles = change == "unsigned" ? 0 : 1;
        QCOMPARE(server->requestCount("file release.manifest "), signedFiles);
        QCOMPARE(server->requestCount("file release.manifest.minisig "), signedFiles);

        QVector<Minisign::PublicKey> keys;
        QString error;
        QVERIFY2(Minisign::parsePublicKeys(m_key.publicKey, &keys, &error), qPrintable(error));
        const SignedReleaseCheck check = checkSignedDownload(install.tempDir(), install.appDir(), keys);
        QCOMPARE(check.error, expected);
        if (signedFiles) {
            QCOMPARE(check.manifest.version(), QStringLiteral("2.0"));
            QVERIFY(check.trustedComment.startsWith("version:2.0\t"));
        }
    }
};

QTEST_MAIN(TestSignedTcpRelease)
#include "tst_signedtcprelease.moc"
