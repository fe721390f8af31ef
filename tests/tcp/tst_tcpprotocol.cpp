#include "tcp/tcpprotocol.h"

#include <QBuffer>
#include <QtTest>

using namespace TcpProtocol;

namespace {

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
}

// A text field as it must appear on the wire: the bytes, then NULs up to the width.
QByteArray field(const QByteArray &bytes, int width)
{
    return bytes + QByteArray(width - bytes.size(), '\0');
}

QByteArray frameBytes(quint32 type, const QByteArray &payload)
{
    return le32(Magic) + le32(static_cast<quint32>(payload.size())) + le32(type) + le32(1) + le32(0) + payload;
}

// Runs the reader over pieces appended one by one; returns the payloads of the frames it yielded.
QList<QByteArray> readAll(const QList<QByteArray> &pieces, int *discards = nullptr, qsizetype *left = nullptr)
{
    FrameReader reader;
    QList<QByteArray> payloads;
    int discarded = 0;
    for (const QByteArray &piece : pieces) {
        reader.append(piece);
        Frame frame;
        FrameReadStatus status;
        while ((status = reader.next(frame)) == FrameReadStatus::FrameReady)
            payloads.append(QByteArray::number(frame.type) + ':' + frame.payload);
        if (status == FrameReadStatus::Discarded)
            ++discarded;
    }
    if (discards)
        *discards = discarded;
    if (left)
        *left = reader.pendingBytes();
    return payloads;
}

} // namespace

class TestTcpProtocol : public QObject
{
    Q_OBJECT

private slots:
    void frameHeaderIsLittleEndianAndPacked()
    {
        const QByteArray frame = makeFrame(FileDownload, QByteArray("xyz"), 5);
        QCOMPARE(frame.toHex(), QByteArray("78563412" "03000000" "03000000" "05000000" "00000000" "78797a"));
        const FrameHeader header = FrameHeader::fromBytes(frame.constData());
        QCOMPARE(header.magic, Magic);
        QCOMPARE(header.length, 3u);
        QCOMPARE(header.type, quint32(FileDownload));
        QCOMPARE(header.projectType, 5u);
    }

    void versionCheckRequestBytes_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("projectType");
        QTest::addColumn<QString>("clientId");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("client id 1") << "1.0.3" << 2 << "1"
                                     << field("1.0.3", 32) + field("1", 32) + le32(2) + QByteArray(16, '\0');
        QTest::newRow("empty client id") << "2.0" << 6 << ""
                                         << field("2.0", 32) + field("Quillmarsh", 32) + le32(6) + QByteArray(16, '\0');
        const QByteArray forty(40, 'v');
        QTest::newRow("version cut at 31") << QString::fromLatin1(forty) << 1 << "1"
                                           << field(forty.left(31), 32) + field("1", 32) + le32(1) + QByteArray(16, '\0');
        // 11 three-byte characters are 33 bytes: the cut keeps 10 characters and one stray byte.
        const QString han = QString(11, QChar(0x7248));
        QTest::newRow("cut inside a character") << han << 3 << "1"
                                                << field(han.toUtf8().left(31), 32) + field("1", 32) + le32(3) + QByteArray(16, '\0');
        QTest::newRow("negative project type") << "1" << -1 << "id"
                                               << field("1", 32) + field("id", 32) + le32(0xFFFFFFFF) + QByteArray(16, '\0');
    }

    void versionCheckRequestBytes()
    {
        QFETCH(QString, version);
        QFETCH(int, projectType);
        QFETCH(QString, clientId);
        QFETCH(QByteArray, expected);
        const QByteArray bytes = makeVersionCheckRequest(version, projectType, clientId).toBytes();
        QCOMPARE(bytes.size(), VersionCheckRequestSize);
        QCOMPARE(bytes.toHex(), expected.toHex());
        // What a server reads back is the text as it was cut.
        const VersionCheckRequest back = parseVersionCheckRequest(bytes);
        QCOMPARE(back.currentVersion, readTextField(expected, 0, 32));
        QCOMPARE(back.clientId, readTextField(expected, 32, 32));
        QCOMPARE(back.projectType, projectType);
    }

    void fileDownloadRequestBytes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("top level") << "" << "host.exe" << QByteArray(128, '\0') + field("host.exe", 32) + QByteArray(16, '\0');
        QTest::newRow("sub directory") << "bin/plugins" << "a.dll"
                                       << field("bin/plugins", 128) + field("a.dll", 32) + QByteArray(16, '\0');
        const QByteArray longPath(200, 'p');
        const QByteArray longName(40, 'n');
        QTest::newRow("cut at 127 and 31") << QString::fromLatin1(longPath) << QString::fromLatin1(longName)
                                           << field(longPath.left(127), 128) + field(longName.left(31), 32) + QByteArray(16, '\0');
        const QString han = QStringLiteral("更新文件夹名称很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长");
        QVERIFY(han.toUtf8().size() > 128);
        QTest::newRow("utf8 cut at 127") << han << QStringLiteral("文件.txt")
                                         << field(han.toUtf8().left(127), 128) + field(QStringLiteral("文件.txt").toUtf8(), 32) + QByteArray(16, '\0');
    }

    void fileDownloadRequestBytes()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(QByteArray, expected);
        const QByteArray bytes = makeFileDownloadRequest(FileItem{path, name});
        QCOMPARE(bytes.size(), FileDownloadRequestSize);
        QCOMPARE(bytes.toHex(), expected.toHex());
    }

    void textFieldReadsUpToNulOnly()
    {
        // A field completely filled (no NUL) must not be read past its width.
        QByteArray record = QByteArray(32, 'a') + QByteArray("SPILL");
        QCOMPARE(readTextField(record, 0, 32), QString(32, QLatin1Char('a')));
        record = field("1.0", 32) + "junk";
        QCOMPARE(readTextField(record, 0, 32), QStringLiteral("1.0"));
        // A field cut by the end of the data reads what is there.
        QCOMPARE(readTextField(QByteArray("abc"), 0, 32), QStringLiteral("abc"));
        QCOMPARE(readTextField(QByteArray("abc"), 10, 32), QString());
    }

    void reader_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QList<QByteArray>>("expected");
        QTest::addColumn<int>("discards");
        QTest::addColumn<int>("left");

        const QByteArray a = frameBytes(VersionCheckReply, "alpha");
        const QByteArray b = frameBytes(FileData, QByteArray(300, 'b'));
        const QByteArray empty = frameBytes(HeartbeatReply, QByteArray());
        const QByteArray pa = QByteArray::number(VersionCheckReply) + ":alpha";
        const QByteArray pb = QByteArray::number(FileData) + ':' + QByteArray(300, 'b');
        const QByteArray pe = QByteArray::number(HeartbeatReply) + ':';

        QTest::newRow("one frame") << QList<QByteArray>{a} << QList<QByteArray>{pa} << 0 << 0;
        QTest::newRow("two frames joined") << QList<QByteArray>{a + b} << QList<QByteArray>{pa, pb} << 0 << 0;
        QTest::newRow("zero length") << QList<QByteArray>{empty} << QList<QByteArray>{pe} << 0 << 0;
        QTest::newRow("zero length between") << QList<QByteArray>{a + empty + b} << QList<QByteArray>{pa, pe, pb} << 0 << 0;
        QTest::newRow("header only, payload missing") << QList<QByteArray>{a.left(20)} << QList<QByteArray>{} << 0 << 20;
        QTest::newRow("byte by byte") << [&] {
            QList<QByteArray> bytes;
            for (char c : a)
                bytes.append(QByteArray(1, c));
            return bytes;
        }() << QList<QByteArray>{pa} << 0 << 0;
        QTest::newRow("second frame partial") << QList<QByteArray>{a + b.left(100)} << QList<QByteArray>{pa} << 0 << 100;
        QTest::newRow("wrong magic loses the buffer")
            << QList<QByteArray>{QByteArray(20, 'x') + a} << QList<QByteArray>{} << 1 << 0;
        QTest::newRow("reading resumes after wrong magic")
            << QList<QByteArray>{QByteArray(20, 'x') + a, b} << QList<QByteArray>{pb} << 1 << 0;
        QTest::newRow("short garbage waits") << QList<QByteArray>{QByteArray(19, 'x')} << QList<QByteArray>{} << 0 << 19;
        QByteArray huge = le32(Magic) + le32(MaxFrameLength + 1) + le32(FileData) + le32(1) + le32(0);
        QTest::newRow("oversized frame dropped") << QList<QByteArray>{huge + a} << QList<QByteArray>{} << 1 << 0;
        QByteArray limit = le32(Magic) + le32(MaxFrameLength) + le32(FileData) + le32(1) + le32(0);
        QTest::newRow("largest allowed frame waits") << QList<QByteArray>{limit} << QList<QByteArray>{} << 0 << 20;
    }

    void reader()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QList<QByteArray>, expected);
        QFETCH(int, discards);
        QFETCH(int, left);
        int discarded = -1;
        qsizetype pending = -1;
        QCOMPARE(readAll(pieces, &discarded, &pending), expected);
        QCOMPARE(discarded, discards);
        QCOMPARE(pending, qsizetype(left));
    }

    void readerYieldsAtEverySplit()
    {
        const QByteArray stream = frameBytes(VersionCheckReply, "one") + frameBytes(HeartbeatReply, QByteArray())
            + frameBytes(FileData, QByteArray(64, 'z'));
        const QList<QByteArray> expected{QByteArray::number(VersionCheckReply) + ":one",
                                         QByteArray::number(HeartbeatReply) + ':',
                                         QByteArray::number(FileData) + ':' + QByteArray(64, 'z')};
        for (int split = 0; split <= stream.size(); ++split) {
            const QList<QByteArray> got = readAll({stream.left(split), stream.mid(split)});
            QVERIFY2(got == expected, qPrintable(QStringLiteral("split at %1").arg(split)));
        }
    }

    void readerTakesBytesStraightFromADevice()
    {
        const QByteArray stream = frameBytes(VersionCheckReply, "abc") + frameBytes(FileData, QByteArray(70000, 'q'));
        QBuffer device;
        device.setData(stream.left(30));
        QVERIFY(device.open(QIODevice::ReadOnly));
        FrameReader reader;
        QCOMPARE(reader.readFrom(device), qint64(30));
        Frame frame;
        QCOMPARE(reader.next(frame), FrameReadStatus::FrameReady);
        QCOMPARE(frame.payload, QByteArray("abc"));
        QCOMPARE(reader.next(frame), FrameReadStatus::NeedMore);
        QCOMPARE(reader.pendingBytes(), qsizetype(7));
        QCOMPARE(reader.readFrom(device), qint64(0)); // nothing left
        device.close();
        device.setData(stream.mid(30));
        QVERIFY(device.open(QIODevice::ReadOnly));
        QCOMPARE(reader.readFrom(device), qint64(stream.size() - 30));
        QCOMPARE(reader.next(frame), FrameReadStatus::FrameReady);
        QCOMPARE(frame.type, quint32(FileData));
        QCOMPARE(frame.payload, QByteArray(70000, 'q'));
        QCOMPARE(reader.pendingBytes(), qsizetype(0));
    }

    void parseVersionReply_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("hasUpdate");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("product");
        QTest::addColumn<int>("files");

        const QByteArray e1 = makeFileEntry(FileItem{"bin", "a.dll"});
        const QByteArray e2 = makeFileEntry(FileItem{"", "host.exe"});
        const QByteArray full = makeVersionReply(true, "2.0.1", 4, {e1, e2});
        QTest::newRow("two entries") << full << true << "2.0.1" << "Cindravel" << 2;
        QTest::newRow("56 bytes is empty") << full.left(56) << false << "" << "" << 0;
        QByteArray headerOnly = full.left(57);
        headerOnly.replace(53, 4, le32(3));
        QTest::newRow("57 bytes, count 3") << headerOnly << true << "2.0.1" << "Cindravel" << 0;
        QTest::newRow("update, count 0") << makeVersionReply(true, "3", 1, {}) << true << "3" << "Morvene" << 0;
        QTest::newRow("count beyond payload") << full.left(57 + 180 + 90) << true << "2.0.1" << "Cindravel" << 1;
        QByteArray lying = full;
        lying.replace(53, 4, le32(0xFFFFFFFF));
        QTest::newRow("count 2^32-1") << lying << true << "2.0.1" << "Cindravel" << 2;
        QByteArray fewer = full;
        fewer.replace(53, 4, le32(1));
        QTest::newRow("count below entries") << fewer << true << "2.0.1" << "Cindravel" << 1;
        QByteArray flag = full;
        flag[0] = char(0x80);
        QTest::newRow("any non-zero flag") << flag << true << "2.0.1" << "Cindravel" << 2;
        QTest::newRow("unknown product") << makeVersionReply(false, "1", 9, {}) << false << "1" << "Unknown" << 0;
    }

    void parseVersionReply()
    {
        QFETCH(QByteArray, payload);
        QFETCH(bool, hasUpdate);
        QFETCH(QString, version);
        QFETCH(QString, product);
        QFETCH(int, files);
        const VersionInfo info = ::parseVersionReply(payload);
        QCOMPARE(info.hasUpdate, hasUpdate);
        QCOMPARE(info.version, version);
        QCOMPARE(info.productName, product);
        QCOMPARE(info.files.size(), files);
        for (int i = 0; i < info.files.size(); ++i) {
            QCOMPARE(info.files.at(i).size(), FileEntrySize);
            QCOMPARE(info.files.at(i), payload.mid(57 + 180 * i, 180));
        }
    }

    void versionReplyEntriesKeepTheirBytes()
    {
        QByteArray entry = makeFileEntry(FileItem{"plugins/x", "b.bin"});
        entry.replace(160, 20, QByteArray(20, '\x7f')); // not interpreted, kept as is
        const VersionInfo info = ::parseVersionReply(makeVersionReply(true, "2", 2, {entry}));
        QCOMPARE(info.files.value(0), entry);
        const FileItem item = fileItemFromEntry(info.files.value(0));
        QCOMPARE(item.filePath, QStringLiteral("plugins/x"));
        QCOMPARE(item.fileName, QStringLiteral("b.bin"));
    }

    void parseFileChunk_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<uint>("fileSize");
        QTest::addColumn<uint>("chunkSize");
        QTest::addColumn<bool>("isLast");
        QTest::addColumn<uint>("aux");
        QTest::addColumn<QByteArray>("data");

        const FileItem item{"bin", "a.dll"};
        QTest::newRow("with data") << makeFileDataHeader(item, 1000, 4, false, 0xA1B2C3D4) + "DATA" << "bin" << "a.dll"
                                   << 1000u << 4u << false << 0xA1B2C3D4u << QByteArray("DATA");
        QTest::newRow("173 bytes, no data") << makeFileDataHeader(item, 10, 50, true) << "bin" << "a.dll" << 10u << 50u
                                            << true << 0u << QByteArray();
        QTest::newRow("100 bytes is empty") << makeFileDataHeader(item, 10, 10, true).left(100) << "" << "" << 0u << 0u
                                            << false << 0u << QByteArray();
        QTest::newRow("172 bytes is empty") << makeFileDataHeader(item, 10, 10, true).left(172) << "" << "" << 0u << 0u
                                            << false << 0u << QByteArray();
        QByteArray raw = makeFileDataHeader(FileItem{"", "z"}, 0, 0, false);
        raw[168] = 7;
        QTest::newRow("flag byte 7") << raw << "" << "z" << 0u << 0u << true << 0u << QByteArray();
    }

    void parseFileChunk()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(uint, fileSize);
        QFETCH(uint, chunkSize);
        QFETCH(bool, isLast);
        QFETCH(uint, aux);
        QFETCH(QByteArray, data);
        const FileChunk chunk = ::parseFileChunk(payload);
        QCOMPARE(chunk.filePath, path);
        QCOMPARE(chunk.fileName, name);
        QCOMPARE(chunk.fileSize, fileSize);
        QCOMPARE(chunk.chunkSize, chunkSize);
        QCOMPARE(chunk.isLast, isLast);
        QCOMPARE(chunk.auxValue, aux);
        QCOMPARE(chunk.data, data);
    }

    void fileDataHeaderOffsets()
    {
        const QByteArray header = makeFileDataHeader(FileItem{"d", "n"}, 0x01020304, 0x05060708, true, 0x0A0B0C0D);
        QCOMPARE(header.size(), FileDataHeaderSize);
        QCOMPARE(header.mid(160, 4).toHex(), QByteArray("04030201"));
        QCOMPARE(header.mid(164, 4).toHex(), QByteArray("08070605"));
        QCOMPARE(header.at(168), char(1));
        QCOMPARE(header.mid(169, 4).toHex(), QByteArray("0d0c0b0a"));
    }

    void productNames_data()
    {
        QTest::addColumn<uint>("type");
        QTest::addColumn<QString>("name");
        QTest::newRow("0") << 0u << "Unknown";
        QTest::newRow("1") << 1u << "Morvene";
        QTest::newRow("2") << 2u << "Tallowick";
        QTest::newRow("3") << 3u << "Ostrevalle";
        QTest::newRow("4") << 4u << "Cindravel";
        QTest::newRow("5") << 5u << "Quenmorrow";
        QTest::newRow("6") << 6u << "Halvispire";
        QTest::newRow("7") << 7u << "Unknown";
        QTest::newRow("max") << 0xFFFFFFFFu << "Unknown";
    }

    void productNames()
    {
        QFETCH(uint, type);
        QFETCH(QString, name);
        QCOMPARE(productName(type), name);
    }
};

QTEST_GUILESS_MAIN(TestTcpProtocol)
#include "tst_tcpprotocol.moc"
