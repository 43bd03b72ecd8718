#include "agent/ipc/FrameDecoder.h"
#include "agent/ipc/IpcError.h"
#include "agent/ipc/protocol.h"

#include <QtTest>

using namespace ipc;

namespace {

// One decoded item: a frame ("id:payload-hex") or an error ("error").
struct Collector
{
    QStringList items;
    FrameDecoder decoder{[this](Message &&m) {
                             items << QStringLiteral("%1:%2").arg(m.id).arg(
                                 QString::fromLatin1(m.data.toHex()));
                         },
                         [this](const QString &) { items << QStringLiteral("error"); }};
};

QByteArray header(quint32 length)
{
    QByteArray h(4, '\0');
    h[0] = char(length >> 24);
    h[1] = char(length >> 16);
    h[2] = char(length >> 8);
    h[3] = char(length);
    return h;
}

} // namespace

class TestFrameDecoder : public QObject
{
    Q_OBJECT
private slots:
    void encodeLayout()
    {
        const QByteArray frame = encodeFrame(REQ_LOGIN, "bob");
        QCOMPARE(frame.toHex(), QByteArray("0000000482626f62"));
        QCOMPARE(encodeFrame(REQ_INFORMATION).toHex(), QByteArray("0000000181"));
    }

    void streams_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        const QByteArray a = encodeFrame(MSG_MESSAGE, "hi");
        const QByteArray b = encodeFrame(MSG_LOGOFF);
        QTest::newRow("two frames") << a + b << QStringList{"2:6869", "3:"};
        QTest::newRow("length 0 then a frame") << header(0) + b << QStringList{"error", "3:"};
        QTest::newRow("unknown id kept") << encodeFrame(0x7f, "\x01") << QStringList{"127:01"};
        QTest::newRow("exactly 1 MiB")
            << encodeFrame(MSG_SCRIPT, QByteArray(MAX_FRAME_LENGTH - 1, 'x')) + b
            << QStringList{QStringLiteral("4:") +
                               QString::fromLatin1(QByteArray(MAX_FRAME_LENGTH - 1, 'x').toHex()),
                           "3:"};
        QByteArray over = header(MAX_FRAME_LENGTH + 1) + QByteArray(MAX_FRAME_LENGTH + 1, '\x05');
        QTest::newRow("1 MiB + 1 skipped, in step after")
            << over + a << QStringList{"error", "2:6869"};
        QTest::newRow("huge claim, error at once")
            << header(0xffffffffu) + QByteArray(100, 'z') << QStringList{"error"};
    }

    // Every stream must decode the same whether it arrives whole or a byte at a time.
    void streams()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        Collector whole;
        whole.decoder.feed(bytes);
        QCOMPARE(whole.items, expected);

        Collector pieces;
        // Byte by byte is slow for the 1 MiB rows; 7-byte steps still split every header.
        const int step = bytes.size() > 4096 ? 4099 : 1;
        for (int i = 0; i < bytes.size(); i += step)
            pieces.decoder.feed(bytes.mid(i, step));
        QCOMPARE(pieces.items, expected);
    }

    void idleAndPending()
    {
        Collector c;
        QVERIFY(c.decoder.idle());
        c.decoder.feed(encodeFrame(MSG_MESSAGE, "abc").left(6));
        QVERIFY(!c.decoder.idle());
        QCOMPARE(c.decoder.pendingDescription(), QStringLiteral("2 of 4 frame bytes"));
        c.decoder.feed(QByteArray("bc"));
        QVERIFY(c.decoder.idle());
        QCOMPARE(c.items, QStringList{"2:616263"});
    }

    void tenThousandFramesInOneWrite()
    {
        QByteArray all;
        for (int i = 0; i < 10000; ++i)
            all += encodeFrame(MSG_MESSAGE, QByteArray::number(i));
        QStringList got;
        FrameDecoder d([&](Message &&m) { got << QString::fromLatin1(m.data); },
                       [](const QString &) { QFAIL("no error expected"); });
        d.feed(all);
        QCOMPARE(got.size(), 10000);
        QCOMPARE(got.first(), QStringLiteral("0"));
        QCOMPARE(got.last(), QStringLiteral("9999"));
    }

    void information_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("valid");
        QTest::newRow("object") << QByteArray(R"({"idle": 900, "maxSession": 28800})") << true;
        QTest::newRow("empty object") << QByteArray("{}") << true;
        QTest::newRow("array") << QByteArray("[1,2]") << false;
        QTest::newRow("number") << QByteArray("5") << false;
        QTest::newRow("garbage") << QByteArray("\xff\xfe{") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void information()
    {
        QFETCH(QByteArray, payload);
        QFETCH(bool, valid);
        if (valid)
            QVERIFY(decodeInformation(payload).isEmpty() == (payload == "{}"));
        else
            QVERIFY_EXCEPTION_THROWN(decodeInformation(payload), ProtocolError);
    }

    void wholeSeconds_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("int") << QVariant(600) << true << qint64(600);
        QTest::newRow("json double") << QVariant(600.0) << true << qint64(600);
        QTest::newRow("fraction") << QVariant(59.9) << true << qint64(59);
        QTest::newRow("negative fraction") << QVariant(-1.5) << true << qint64(-1);
        QTest::newRow("text") << QVariant(QStringLiteral(" 300 ")) << true << qint64(300);
        QTest::newRow("leading zeros") << QVariant(QStringLiteral("0600")) << true << qint64(600);
        QTest::newRow("text fraction") << QVariant(QStringLiteral("1.5")) << false << qint64(0);
        QTest::newRow("text word") << QVariant(QStringLiteral("soon")) << false << qint64(0);
        QTest::newRow("bool") << QVariant(true) << false << qint64(0);
        QTest::newRow("null") << QVariant() << false << qint64(0);
        QTest::newRow("huge") << QVariant(1e300) << false << qint64(0);
    }
    void wholeSeconds()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, valid);
        QFETCH(qint64, expected);
        if (valid)
            QCOMPARE(ipc::wholeSeconds(value), expected);
        else
            QVERIFY_EXCEPTION_THROWN(ipc::wholeSeconds(value), ProtocolError);
    }
};

QTEST_GUILESS_MAIN(TestFrameDecoder)
#include "tst_framedecoder.moc"
