#include <QtTest>

#include <getopt.h>

#include "app/cmdline.h"
#include "display/report.h"
#include "../support/testutil.h"

// The option parser in-process: what it stores and what it prints.
class tst_CmdLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void step_data();
    void step();
    void argvPermutedForQt();
};

void tst_CmdLine::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("stdoutText");
    QTest::addColumn<int>("bright");
    QTest::addColumn<int>("flag");

    QTest::newRow("none") << QStringList{} << QByteArray() << 0 << 0;
    QTest::newRow("-b 5") << QStringList{"-b", "5"} << QByteArray("Bright=5\n") << 5 << 1;
    QTest::newRow("-b5") << QStringList{"-b5"} << QByteArray("Bright=5\n") << 5 << 1;
    QTest::newRow("-b 10") << QStringList{"-b", "10"} << QByteArray("Bright=10\n") << 10 << 1;
    QTest::newRow("-b 11") << QStringList{"-b", "11"} << QByteArray("Bright=10\n") << 10 << 1;
    QTest::newRow("-b 100") << QStringList{"-b", "100"} << QByteArray("Bright=10\n") << 10 << 1;
    QTest::newRow("-b 256 wraps to 0") << QStringList{"-b", "256"} << QByteArray("Bright=0\n") << 0 << 1;
    QTest::newRow("-b 265 wraps to 9") << QStringList{"-b", "265"} << QByteArray("Bright=9\n") << 9 << 1;
    QTest::newRow("-b -1") << QStringList{"-b", "-1"} << QByteArray("Bright=10\n") << 10 << 1;
    QTest::newRow("-b -250") << QStringList{"-b", "-250"} << QByteArray("Bright=6\n") << 6 << 1;
    QTest::newRow("-b abc") << QStringList{"-b", "abc"} << QByteArray("Bright=0\n") << 0 << 1;
    QTest::newRow("-b 7x") << QStringList{"-b", "7x"} << QByteArray("Bright=7\n") << 7 << 1;
    QTest::newRow("-b 0x10") << QStringList{"-b", "0x10"} << QByteArray("Bright=0\n") << 0 << 1;
    QTest::newRow("-b 99999999999") << QStringList{"-b", "99999999999"} << QByteArray("Bright=10\n") << 10 << 1;
    QTest::newRow("-b 3 -b 8") << QStringList{"-b", "3", "-b", "8"} << QByteArray("Bright=3\nBright=8\n") << 8 << 1;
    QTest::newRow("-x") << QStringList{"-x"} << QByteArray("other option:?\n") << 0 << 0;
    QTest::newRow("-b alone") << QStringList{"-b"} << QByteArray("other option:?\n") << 0 << 0;
    QTest::newRow("-xb 5") << QStringList{"-xb", "5"} << QByteArray("other option:?\nBright=5\n") << 5 << 1;
    QTest::newRow("extra -b 4") << QStringList{"extra", "-b", "4"} << QByteArray("Bright=4\n") << 4 << 1;
    QTest::newRow("Qt's -platform") << QStringList{"-platform", "offscreen"}
        << QByteArray("other option:?\nother option:?\nother option:?\nother option:?\n"
                      "other option:?\nother option:?\nother option:?\nother option:?\n")
        << 0 << 0;
    QTest::newRow("leading blanks and sign") << QStringList{"-b", "  +4"} << QByteArray("Bright=4\n") << 4 << 1;
}

void tst_CmdLine::parse()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, stdoutText);
    QFETCH(int, bright);
    QFETCH(int, flag);

    QList<QByteArray> storage{"brightness"};
    for (const QString &a : args)
        storage << a.toLocal8Bit();
    QVector<char *> argv;
    for (QByteArray &s : storage)
        argv << s.data();
    argv << nullptr;

    CMD_Bright = 0;
    CMD_FLAG = 0;
    optind = 0;  // glibc: start a fresh scan
    opterr = 0;  // keep the parser's own diagnostics out of the test log
    const QByteArray out = testutil::captureStdout([&] { parseCommandLine(argv.size() - 1, argv.data()); });
    opterr = 1;

    QCOMPARE(out, stdoutText);
    QCOMPARE(int(CMD_Bright), bright);
    QCOMPARE(int(CMD_FLAG), flag);
}

void tst_CmdLine::step_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("step");

    QTest::newRow("0") << QByteArray("0") << 0;
    QTest::newRow("9") << QByteArray("9") << 9;
    QTest::newRow("-246 is low byte 10") << QByteArray("-246") << 10;
    QTest::newRow("-247 is low byte 9") << QByteArray("-247") << 9;
    QTest::newRow("2147483647") << QByteArray("2147483647") << 10;
    // 2^32 + 5: a 64-bit long would keep the 5; the target's 32-bit strtol
    // saturates to 0x7fffffff first.
    QTest::newRow("beyond 32 bits saturates high") << QByteArray("4294967301") << 10;
    // -2^32 + 5 likewise saturates at -2^31, whose low byte is 0.
    QTest::newRow("beyond 32 bits saturates low") << QByteArray("-4294967291") << 0;
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("minus only") << QByteArray("-") << 0;
}

void tst_CmdLine::step()
{
    QFETCH(QByteArray, text);
    QFETCH(int, step);
    QCOMPARE(int(stepFromArgument(text.constData())), step);
}

void tst_CmdLine::argvPermutedForQt()
{
    // The GNU parser moves operands behind the options; QApplication then
    // gets the permuted vector.
    QByteArray a0("brightness"), a1("extra"), a2("-b"), a3("4");
    char *argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
    optind = 0;
    testutil::captureStdout([&] { parseCommandLine(4, argv); });
    QCOMPARE(QByteArray(argv[1]), QByteArray("-b"));
    QCOMPARE(QByteArray(argv[2]), QByteArray("4"));
    QCOMPARE(QByteArray(argv[3]), QByteArray("extra"));
}

QTEST_GUILESS_MAIN(tst_CmdLine)
#include "tst_cmdline.moc"
