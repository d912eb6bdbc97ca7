#include <QtTest>

#include <QRandomGenerator>

#include "window/mainwindow.h"
#include "simhid.h"
#include "../support/testutil.h"

// CRC-16 with poly 0x8005, init 0, input reflected, output not.
class tst_Crc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void knownValues_data();
    void knownValues();
    void agreesWithReversedArc_data();
    void agreesWithReversedArc();
    void leadingZerosChangeNothing();
    void writesOnlyTwoBytes();

private:
    quint16 crcOf(const QByteArray &data)
    {
        char out[2];
        window->atCRC(uint(data.size()), data.constData(), out);
        return quint16(uchar(out[0]) | uchar(out[1]) << 8);
    }
    testutil::StandInSudo sudo{SIMHID_SUDO_DIR};
    MainWindow *window = nullptr;
};

void tst_Crc::initTestCase()
{
    testutil::keepOtherThreadsOffTheTestLog();
    window = new MainWindow;
}

void tst_Crc::cleanupTestCase()
{
    delete window;
}

void tst_Crc::knownValues_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");

    QTest::newRow("empty") << QByteArray() << 0x00 << 0x00;
    QTest::newRow("00") << QByteArray(1, '\0') << 0x00 << 0x00;
    QTest::newRow("01") << QByteArray("\x01") << 0x03 << 0x83;
    QTest::newRow("80") << QByteArray("\x80") << 0x05 << 0x80;
    QTest::newRow("FF") << QByteArray("\xff") << 0x02 << 0x02;
    QTest::newRow("abc") << QByteArray("abc") << 0xE9 << 0x1C;
    QTest::newRow("check 123456789") << QByteArray("123456789") << 0xDD << 0xBC;
}

void tst_Crc::knownValues()
{
    QFETCH(QByteArray, data);
    QFETCH(int, low);
    QFETCH(int, high);
    char out[2] = {char(0x55), char(0x55)};
    window->atCRC(uint(data.size()), data.constData(), out);
    QCOMPARE(int(uchar(out[0])), low);
    QCOMPARE(int(uchar(out[1])), high);
}

// CRC-16/ARC the usual way: reflected, table-driven, poly 0xA001.
static quint16 arc(const QByteArray &data)
{
    static quint16 table[256];
    static bool ready = false;
    if (!ready) {
        for (int i = 0; i < 256; ++i) {
            quint16 c = quint16(i);
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? quint16((c >> 1) ^ 0xA001) : quint16(c >> 1);
            table[i] = c;
        }
        ready = true;
    }
    quint16 crc = 0;
    for (char ch : data)
        crc = quint16((crc >> 8) ^ table[(crc ^ uchar(ch)) & 0xFF]);
    return crc;
}

static quint16 reversed(quint16 v)
{
    quint16 r = 0;
    for (int i = 0; i < 16; ++i)
        if (v & (1u << i))
            r |= quint16(1u << (15 - i));
    return r;
}

void tst_Crc::agreesWithReversedArc_data()
{
    QTest::addColumn<QByteArray>("data");
    QRandomGenerator rng(20261207);
    for (int length : {1, 2, 3, 7, 8, 31, 38, 64, 255, 1000, 4096}) {
        for (int k = 0; k < 3; ++k) {
            QByteArray d(length, '\0');
            for (char &c : d)
                c = char(rng.bounded(256));
            QTest::addRow("length %d #%d", length, k) << d;
        }
    }
    QTest::newRow("all 0xFF bytes") << QByteArray(64, char(0xFF));
    QTest::newRow("high bytes only") << QByteArray("\x80\x90\xa0\xb0\xc0\xd0\xe0\xf0");
}

void tst_Crc::agreesWithReversedArc()
{
    QFETCH(QByteArray, data);
    QCOMPARE(crcOf(data), reversed(arc(data)));
}

void tst_Crc::leadingZerosChangeNothing()
{
    const QByteArray body("\xfe\x01\x80 brightness", 14);
    for (int zeros = 1; zeros <= 5; ++zeros)
        QCOMPARE(crcOf(QByteArray(zeros, '\0') + body), crcOf(body));
    QCOMPARE(crcOf(QByteArray(1000, '\0')), quint16(0));
}

void tst_Crc::writesOnlyTwoBytes()
{
    char out[4] = {0, 0, char(0xA5), char(0x5A)};
    window->atCRC(9, "123456789", out);
    QCOMPARE(uchar(out[2]), uchar(0xA5));
    QCOMPARE(uchar(out[3]), uchar(0x5A));
}

QTEST_MAIN(tst_Crc)
#include "tst_crc.moc"
