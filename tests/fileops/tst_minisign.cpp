#include "fileops/minisign.h"
#include "fileops/minisignsigner.h"

#include "common/minisigntool.h"

#include <QTemporaryDir>
#include <QtTest>

using Minisign::VerifyError;
using Minisign::SecretKeyError;
namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

enum Tamper {
    Untouched,
    OtherKey,           // signed by key B, only key A trusted
    KeyIdOfTrustedKey,  // signed by B, key id rewritten to A's
    DataByteChanged,
    DataByteAppended,
    AlgorithmSwitched,  // "ED" relabelled "Ed"
    TrustedCommentEdited,
    TrustedCommentEmptied,
    GlobalSignatureChanged,
    UntrustedCommentEdited,
    CrLfLineEnds,
    TwoLinesOnly,
    EmptyFile,
    Garbage,
    SignatureLineNotBase64,
    SignatureLineShort,
    UnknownAlgorithm,
    NoCommentPrefix,
    ExtraLine,
    NoTrustedKeys,
};

QList<QByteArray> sigLines(const QByteArray &sig)
{
    return sig.split('\n').mid(0, 4);
}

QByteArray joinLines(const QList<QByteArray> &lines)
{
    return lines.join('\n') + '\n';
}

// Replaces the 74-byte blob of the signature line after changing it with edit.
template<typename Edit>
QByteArray editBlob(const QByteArray &sig, Edit edit)
{
    QList<QByteArray> lines = sigLines(sig);
    QByteArray blob = QByteArray::fromBase64(lines[1]);
    edit(blob);
    lines[1] = blob.toBase64();
    return joinLines(lines);
}

} // namespace

// Minisign keys and signatures against the real minisign program, both ways.
class TestMinisign : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    MinisignTool::KeyPair m_a;
    MinisignTool::KeyPair m_b;
    MinisignTool::KeyPair m_encrypted;
    QByteArray m_pubA;
    QByteArray m_pubB;

    QVector<Minisign::PublicKey> keys(const QString &text)
    {
        QVector<Minisign::PublicKey> parsed;
        QString error;
        if (!Minisign::parsePublicKeys(text, &parsed, &error))
            qWarning("%s", qPrintable(error));
        return parsed;
    }

    // Signs data with minisign and returns the .minisig content.
    QByteArray minisignSignature(const MinisignTool::KeyPair &key, const QByteArray &data, const QString &comment,
                                 const QStringList &extra = QStringList())
    {
        const QString file = m_dir.filePath(QStringLiteral("data.bin"));
        const QString sig = m_dir.filePath(QStringLiteral("data.bin.minisig"));
        QFile::remove(sig);
        if (!writeFile(file, data))
            return QByteArray();
        const MinisignTool::Run run = MinisignTool::sign(key, file, sig, comment, extra);
        if (run.exitCode != 0)
            qWarning("minisign -S: %s", qPrintable(run.output));
        return readFile(sig);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!MinisignTool::executable().isEmpty(), "minisign is not installed; run scripts/setup");
        QString error;
        QVERIFY2(MinisignTool::generate(m_dir.path(), QStringLiteral("a"), QByteArray(), &m_a, &error), qPrintable(error));
        QVERIFY2(MinisignTool::generate(m_dir.path(), QStringLiteral("b"), QByteArray(), &m_b, &error), qPrintable(error));
        QVERIFY2(MinisignTool::generate(m_dir.path(), QStringLiteral("e"), "pässwörd 1", &m_encrypted, &error),
                 qPrintable(error));
        m_pubA = readFile(m_a.publicKeyFile);
        m_pubB = readFile(m_b.publicKeyFile);
    }

    void parsesPublicKeys_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // "A", "B" for the keys in order, or "error: <part of the message>"
        const QString a = m_a.publicKey;
        const QString b = m_b.publicKey;
        const QString pubA = QString::fromLatin1(m_pubA);
        const QByteArray blobA = QByteArray::fromBase64(a.toLatin1());
        QTest::newRow("one line") << a << "A";
        QTest::newRow("blanks and line end around") << "  " + a + " \n" << "A";
        QTest::newRow(".pub file") << pubA << "A";
        QTest::newRow(".pub file with CR LF") << QString(pubA).replace("\n", "\r\n") << "A";
        QTest::newRow("two keys") << a + "," + b << "A,B";
        QTest::newRow("two keys, blank after comma") << b + ", " + a << "B,A";
        QTest::newRow("two .pub files") << pubA + QString::fromLatin1(m_pubB) << "A,B";
        QTest::newRow("trailing comma") << a + "," << "A";
        QTest::newRow("three keys") << a + "," + b + "," + a << "error: 3 public keys given, at most 2";
        QTest::newRow("empty") << "" << "error: no public key";
        QTest::newRow("comment only") << "untrusted comment: x" << "error: no public key";
        QTest::newRow("not base64") << "RW*notbase64" << "error: malformed public key";
        QTest::newRow("cut short") << a.left(40) << "error: malformed public key";
        QTest::newRow("not an Ed25519 key") << QString::fromLatin1(("Ex" + blobA.mid(2)).toBase64()) << "error: not an Ed25519 key";
    }

    void parsesPublicKeys()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QVector<Minisign::PublicKey> parsed;
        QString error;
        const bool ok = Minisign::parsePublicKeys(text, &parsed, &error);
        if (expected.startsWith(QLatin1String("error: "))) {
            QVERIFY2(!ok, qPrintable(text));
            QVERIFY2(error.contains(expected.mid(7)), qPrintable(error));
            return;
        }
        QVERIFY2(ok, qPrintable(error));
        QStringList names;
        for (const Minisign::PublicKey &key : qAsConst(parsed)) {
            names << (key.toBase64() == m_a.publicKey ? QStringLiteral("A")
                      : key.toBase64() == m_b.publicKey ? QStringLiteral("B") : key.toBase64());
        }
        QCOMPARE(names.join(QLatin1Char(',')), expected);
        QCOMPARE(parsed.first().keyIdText(), expected.startsWith('A') ? m_a.keyId : m_b.keyId);
    }

    void minisignSignaturesVerify_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QStringList>("extra"); // minisign -S options
        QTest::addColumn<QString>("trusted");   // the key list
        QTest::addColumn<QString>("comment");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("prehashed") << QByteArray("release 1.1.0\n") << QStringList() << m_a.publicKey << "version:1.1.0" << false;
        QTest::newRow("legacy Ed") << QByteArray("release 1.1.0\n") << QStringList{"-l"} << m_a.publicKey << "c" << false;
        QTest::newRow("empty data") << QByteArray() << QStringList() << m_a.publicKey << "c" << false;
        QTest::newRow("binary data") << QByteArray("\0\r\n\xff\x80", 5) << QStringList() << m_a.publicKey << "c" << false;
        QTest::newRow("UTF-8 comment with tab") << QByteArray("x") << QStringList() << m_a.publicKey << "版本 1.1\tünï" << false;
        QTest::newRow("key as .pub text") << QByteArray("x") << QStringList() << QString::fromLatin1(m_pubA) << "c" << false;
        QTest::newRow("signing key second of two") << QByteArray("x") << QStringList() << m_b.publicKey + "," + m_a.publicKey << "c" << false;
        QTest::newRow("signing key first of two") << QByteArray("x") << QStringList() << m_a.publicKey + "," + m_b.publicKey << "c" << false;
        QTest::newRow("password-protected key") << QByteArray("x") << QStringList() << m_encrypted.publicKey << "c" << true;
    }

    void minisignSignaturesVerify()
    {
        QFETCH(QByteArray, data);
        QFETCH(QStringList, extra);
        QFETCH(QString, trusted);
        QFETCH(QString, comment);
        QFETCH(bool, encrypted);
        const MinisignTool::KeyPair &signer = encrypted ? m_encrypted : m_a;
        const QByteArray sig = minisignSignature(signer, data, comment, extra);
        QVERIFY(!sig.isEmpty());
        const Minisign::VerifyResult result = Minisign::verify(data, sig, keys(trusted));
        QVERIFY2(result.ok(), qPrintable(result.errorText() + ": " + result.detail));
        QCOMPARE(result.trustedComment, comment);
        QCOMPARE(result.keyId, signer.keyId);
    }

    void ourSignaturesVerifyWithMinisign_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("comment");
        QTest::newRow("unencrypted key") << false << QByteArray("update-release-manifest 1\n") << "version:1.1.0\ttime:x";
        QTest::newRow("empty data, UTF-8 comment") << false << QByteArray() << "版本 2.0 – ünï";
        QTest::newRow("password-protected key") << true << QByteArray("\0\xff", 2) << "version:3";
    }

    void ourSignaturesVerifyWithMinisign()
    {
        QFETCH(bool, encrypted);
        QFETCH(QByteArray, data);
        QFETCH(QString, comment);
        const MinisignTool::KeyPair &pair = encrypted ? m_encrypted : m_a;
        const Minisign::SecretKeyResult secret = Minisign::readSecretKey(readFile(pair.secretKeyFile), pair.password);
        QVERIFY2(secret.ok(), qPrintable(secret.errorText() + ": " + secret.detail));
        QCOMPARE(secret.key.publicKey().toBase64(), pair.publicKey);
        QCOMPARE(Minisign::isPasswordProtected(readFile(pair.secretKeyFile)), encrypted);

        QByteArray sig;
        QString error;
        QVERIFY2(Minisign::sign(data, secret.key, comment, QStringLiteral("signed in a test"), &sig, &error), qPrintable(error));
        const QString file = m_dir.filePath(QStringLiteral("ours.bin"));
        QVERIFY(writeFile(file, data) && writeFile(file + ".minisig", sig));
        const MinisignTool::Run run = MinisignTool::verify(pair.publicKeyFile, file, file + ".minisig");
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QVERIFY2(run.output.contains(QStringLiteral("Trusted comment: ") + comment), qPrintable(run.output));
        QVERIFY(Minisign::verify(data, sig, keys(pair.publicKey)).ok());
        // minisign itself refuses it once the data changes: the check above is not vacuous.
        QVERIFY(writeFile(file, data + 'x'));
        QVERIFY(MinisignTool::verify(pair.publicKeyFile, file, file + ".minisig").exitCode != 0);
    }

    void secretKeyRefusals_data()
    {
        QTest::addColumn<QString>("which"); // e (encrypted), a (unencrypted), pub, garbage
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<int>("error");
        QTest::newRow("wrong password") << "e" << QByteArray("wrong") << int(SecretKeyError::WrongPassword);
        QTest::newRow("no password") << "e" << QByteArray() << int(SecretKeyError::PasswordRequired);
        QTest::newRow("public key file") << "pub" << QByteArray() << int(SecretKeyError::Malformed);
        QTest::newRow("key line cut short") << "short" << QByteArray() << int(SecretKeyError::Malformed);
        QTest::newRow("one secret byte changed") << "flipped" << QByteArray() << int(SecretKeyError::Malformed);
        QTest::newRow("garbage") << "garbage" << QByteArray() << int(SecretKeyError::Malformed);
    }

    void secretKeyRefusals()
    {
        QFETCH(QString, which);
        QFETCH(QByteArray, password);
        QFETCH(int, error);
        QByteArray content = readFile(which == QLatin1String("e") ? m_encrypted.secretKeyFile : m_a.secretKeyFile);
        QList<QByteArray> lines = content.split('\n');
        if (which == QLatin1String("pub")) {
            content = m_pubA;
        } else if (which == QLatin1String("short")) {
            content = lines[0] + '\n' + lines[1].left(100) + '\n';
        } else if (which == QLatin1String("flipped")) {
            QByteArray blob = QByteArray::fromBase64(lines[1]);
            blob[70] = char(blob[70] ^ 1); // inside the Ed25519 secret key
            content = lines[0] + '\n' + blob.toBase64() + '\n';
        } else if (which == QLatin1String("garbage")) {
            content = "untrusted comment: x\nnot a key at all\n";
        }
        const Minisign::SecretKeyResult result = Minisign::readSecretKey(content, password);
        QCOMPARE(int(result.error), error);
        QVERIFY(result.key.isNull());
        QVERIFY(!result.errorText().isEmpty());
    }

    void refusesTamperedSignatures_data()
    {
        QTest::addColumn<int>("tamper");
        QTest::addColumn<QString>("expected"); // errorText(), empty when it must verify
        QTest::newRow("untouched") << int(Untouched) << "";
        QTest::newRow("signed by another key") << int(OtherKey) << "signature made by an unknown key";
        QTest::newRow("key id of a trusted key") << int(KeyIdOfTrustedKey) << "signature invalid";
        QTest::newRow("one data byte changed") << int(DataByteChanged) << "signature invalid";
        QTest::newRow("data byte appended") << int(DataByteAppended) << "signature invalid";
        QTest::newRow("ED relabelled Ed") << int(AlgorithmSwitched) << "signature invalid";
        QTest::newRow("trusted comment edited") << int(TrustedCommentEdited) << "trusted comment signature invalid";
        QTest::newRow("trusted comment emptied") << int(TrustedCommentEmptied) << "trusted comment signature invalid";
        QTest::newRow("global signature changed") << int(GlobalSignatureChanged) << "trusted comment signature invalid";
        QTest::newRow("untrusted comment edited") << int(UntrustedCommentEdited) << "";
        QTest::newRow("CR LF line ends") << int(CrLfLineEnds) << "";
        QTest::newRow("truncated to two lines") << int(TwoLinesOnly) << "malformed signature file";
        QTest::newRow("empty file") << int(EmptyFile) << "malformed signature file";
        QTest::newRow("garbage") << int(Garbage) << "malformed signature file";
        QTest::newRow("signature line not base64") << int(SignatureLineNotBase64) << "malformed signature file";
        QTest::newRow("signature line one byte short") << int(SignatureLineShort) << "malformed signature file";
        QTest::newRow("unknown algorithm") << int(UnknownAlgorithm) << "malformed signature file";
        QTest::newRow("no untrusted comment prefix") << int(NoCommentPrefix) << "malformed signature file";
        QTest::newRow("extra line") << int(ExtraLine) << "malformed signature file";
        QTest::newRow("no trusted keys") << int(NoTrustedKeys) << "no public key to verify with";
    }

    void refusesTamperedSignatures()
    {
        QFETCH(int, tamper);
        QFETCH(QString, expected);
        QByteArray data("update-release-manifest 1\nversion 1.1.0\n");
        const bool byB = tamper == OtherKey || tamper == KeyIdOfTrustedKey;
        QByteArray sig = minisignSignature(byB ? m_b : m_a, data, QStringLiteral("version:1.1.0"));
        QVERIFY(!sig.isEmpty());
        QVector<Minisign::PublicKey> trusted = keys(m_a.publicKey);
        const QByteArray keyIdA = trusted.first().keyId;
        QList<QByteArray> lines = sigLines(sig);
        switch (Tamper(tamper)) {
        case Untouched: case OtherKey: break;
        case KeyIdOfTrustedKey: sig = editBlob(sig, [&](QByteArray &b) { b.replace(2, 8, keyIdA); }); break;
        case DataByteChanged: data[3] = 'X'; break;
        case DataByteAppended: data += '\n'; break;
        case AlgorithmSwitched: sig = editBlob(sig, [](QByteArray &b) { b[1] = 'd'; }); break;
        case TrustedCommentEdited: lines[2] = "trusted comment: version:9.9.9"; sig = joinLines(lines); break;
        case TrustedCommentEmptied: lines[2] = "trusted comment: "; sig = joinLines(lines); break;
        case GlobalSignatureChanged: {
            QByteArray global = QByteArray::fromBase64(lines[3]);
            global[0] = char(global[0] ^ 1);
            lines[3] = global.toBase64();
            sig = joinLines(lines);
            break;
        }
        case UntrustedCommentEdited: lines[0] = "untrusted comment: anything at all"; sig = joinLines(lines); break;
        case CrLfLineEnds: sig = lines.join("\r\n") + "\r\n"; break;
        case TwoLinesOnly: sig = joinLines(lines.mid(0, 2)); break;
        case EmptyFile: sig.clear(); break;
        case Garbage: sig = QByteArray(300, '\x9c'); break;
        case SignatureLineNotBase64: lines[1].replace(5, 1, "*"); sig = joinLines(lines); break;
        case SignatureLineShort: sig = editBlob(sig, [](QByteArray &b) { b.chop(1); }); break;
        case UnknownAlgorithm: sig = editBlob(sig, [](QByteArray &b) { b[0] = 'X'; }); break;
        case NoCommentPrefix: lines[0] = "comment: x"; sig = joinLines(lines); break;
        case ExtraLine: sig = joinLines(lines) + "one more line\n"; break;
        case NoTrustedKeys: trusted.clear(); break;
        }
        const Minisign::VerifyResult result = Minisign::verify(data, sig, trusted);
        QCOMPARE(result.errorText(), expected);
        QCOMPARE(result.ok(), expected.isEmpty());
        if (!result.ok())
            QVERIFY(!result.detail.isEmpty());
    }

    void keyIdIsPrintedAsMinisignPrintsIt_data()
    {
        QTest::addColumn<QByteArray>("stored"); // little-endian, as in keys and signatures
        QTest::addColumn<QString>("text");
        QTest::newRow("sixteen digits") << QByteArray::fromHex("f381ee833339a9be") << "BEA9393383EE81F3";
        QTest::newRow("leading zero dropped") << QByteArray::fromHex("f381ee833339a90e") << "EA9393383EE81F3";
        QTest::newRow("zero") << QByteArray(8, '\0') << "0";
    }

    void keyIdIsPrintedAsMinisignPrintsIt()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, text);
        Minisign::PublicKey key;
        key.keyId = stored;
        QCOMPARE(key.keyIdText(), text);
    }

    void singleKeyParserRefusesAList()
    {
        Minisign::PublicKey key;
        QString error;
        QVERIFY(Minisign::parsePublicKey(QString::fromLatin1(m_pubA), &key, &error));
        QCOMPARE(key.keyIdText(), m_a.keyId);
        QVERIFY(!Minisign::parsePublicKey(QString::fromLatin1(m_pubA + m_pubB), &key, &error));
        // The .pub text we write reads back as the same key.
        QVector<Minisign::PublicKey> parsed;
        QVERIFY(Minisign::parsePublicKeys(QString::fromLatin1(key.toPubFile()), &parsed, &error));
        QCOMPARE(parsed.first().toBase64(), m_a.publicKey);
    }
};

QTEST_GUILESS_MAIN(TestMinisign)
#include "tst_minisign.moc"
