#include <QtTest>

#include <memory>

#include "ctlrun.h"
#include "simhid.h"

// What brightness-ctl makes of its command line and of sysfs texts, and that
// nothing is opened when the command line is refused.
class tst_Arguments : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void levels_data();
    void levels();
    void uevent_data();
    void uevent();
    void help_data();
    void help();
    void commandLine_data();
    void commandLine();
    void malformedValue_data();
    void malformedValue();
    void precedence_data();
    void precedence();

private:
    // Fresh for each test function: staged nodes must not carry over.
    std::unique_ptr<StagedSysfs> staged;
    StagedSysfs &sysfs() { return *staged; }
};

void tst_Arguments::init()
{
    staged.reset(new StagedSysfs);
    simhid::reset();
    // A display is there to be found: refusing the command line must not look.
    simhid::present(0, 3, 0x0483, 0x5750);
}

void tst_Arguments::levels_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("level");

    QTest::newRow("step 0") << "0" << 0;
    QTest::newRow("step 1") << "1" << 10;
    QTest::newRow("step 7") << "7" << 70;
    QTest::newRow("step 10") << "10" << 100;
    QTest::newRow("step 05, leading zero") << "05" << 50;
    QTest::newRow("0%") << "0%" << 0;
    QTest::newRow("1%") << "1%" << 1;
    QTest::newRow("37%") << "37%" << 37;
    QTest::newRow("100%") << "100%" << 100;
    QTest::newRow("step 11") << "11" << -1;
    QTest::newRow("step 100") << "100" << -1;
    QTest::newRow("huge step") << "99999999999999999999" << -1;
    QTest::newRow("101%") << "101%" << -1;
    QTest::newRow("huge percent") << "4294967296%" << -1;
    QTest::newRow("-1") << "-1" << -1;
    QTest::newRow("+5") << "+5" << -1;
    QTest::newRow("5x") << "5x" << -1;
    QTest::newRow("%") << "%" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("0x5") << "0x5" << -1;
    QTest::newRow("leading blank") << " 5" << -1;
    QTest::newRow("trailing blank") << "5 " << -1;
    QTest::newRow("5%%") << "5%%" << -1;
    QTest::newRow("%5") << "%5" << -1;
    QTest::newRow("5.0") << "5.0" << -1;
    QTest::newRow("Arabic-Indic digit") << QString::fromUtf8("\u0665") << -1;
}

void tst_Arguments::levels()
{
    QFETCH(QString, text);
    QFETCH(int, level);
    QCOMPARE(ctl::parseLevel(text.toStdString()), level);
}

void tst_Arguments::uevent_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");

    QTest::newRow("kernel form") << QByteArray("DRIVER=hid-generic\nHID_ID=0003:00000483:00005750\nHID_NAME=x\n")
                                 << true << 0x0483 << 0x5750;
    QTest::newRow("upper-case hex") << QByteArray("HID_ID=0003:00000EEF:0000ABCD\n") << true << 0x0EEF << 0xABCD;
    QTest::newRow("lower-case hex, no final newline") << QByteArray("HID_ID=0003:00000eef:00000005")
                                                      << true << 0x0EEF << 0x0005;
    QTest::newRow("first HID_ID counts") << QByteArray("HID_ID=0003:00000484:00005750\nHID_ID=0003:00000001:00000002\n")
                                         << true << 0x0484 << 0x5750;
    QTest::newRow("no HID_ID") << QByteArray("DRIVER=hid-generic\nHID_NAME=x\n") << false << 0 << 0;
    QTest::newRow("empty") << QByteArray() << false << 0 << 0;
    QTest::newRow("key not at line start") << QByteArray("XHID_ID=0003:00000483:00005750\n") << false << 0 << 0;
    QTest::newRow("two fields") << QByteArray("HID_ID=00000483:00005750\n") << false << 0 << 0;
    QTest::newRow("empty field") << QByteArray("HID_ID=0003::00005750\n") << false << 0 << 0;
    QTest::newRow("vendor above 16 bits") << QByteArray("HID_ID=0003:00010483:00005750\n") << false << 0 << 0;
    QTest::newRow("not hex") << QByteArray("HID_ID=0003:0000048G:00005750\n") << false << 0 << 0;
    QTest::newRow("trailing text") << QByteArray("HID_ID=0003:00000483:00005750 x\n") << false << 0 << 0;
    QTest::newRow("four fields") << QByteArray("HID_ID=0003:00000483:00005750:1\n") << false << 0 << 0;
}

void tst_Arguments::uevent()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(int, vendor);
    QFETCH(int, product);

    ctl::Identity id{0x1111, 0x2222};
    QCOMPARE(ctl::parseUevent(text.toStdString(), &id), ok);
    if (ok) {
        QCOMPARE(int(id.vendor), vendor);
        QCOMPARE(int(id.product), product);
    }
}

void tst_Arguments::help_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("-h") << "-h";
    QTest::newRow("--help") << "--help";
}

void tst_Arguments::help()
{
    QFETCH(QString, option);
    const CtlResult r = runCtl({option}, sysfs());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, QString());
    QVERIFY2(r.out.startsWith("Usage: brightness-ctl set STEP"), qPrintable(r.out));
    QVERIFY2(r.out.contains("Exit status: 0 done; 1 no display found"), qPrintable(r.out));
    QVERIFY2(r.out.contains("When several apply: 2 before 3 before 1."), qPrintable(r.out));
    // A usage error shows the same text, on standard error.
    QVERIFY(runCtl({}, sysfs()).err.endsWith(r.out));
    QVERIFY(simhid::opens().empty());
}

void tst_Arguments::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");      // exact standard output
    QTest::addColumn<QString>("errHas");   // in standard error; empty: none at all

    const QString usage = "Usage: brightness-ctl set STEP";
    const QString version = QString("brightness-ctl %1\n").arg(BRIGHTNESS_VERSION);

    QTest::newRow("--version") << QStringList{"--version"} << 0 << version << QString();
    QTest::newRow("no command") << QStringList{} << 2 << QString() << "no command given\n" + usage;
    QTest::newRow("unknown command") << QStringList{"get"} << 2 << QString() << "unknown command 'get'\n" + usage;
    QTest::newRow("option as command") << QStringList{"-b", "5"} << 2 << QString() << "unknown command '-b'";
    QTest::newRow("set without value") << QStringList{"set"} << 2 << QString() << "'set' needs a value\n" + usage;
    QTest::newRow("set with two values") << QStringList{"set", "5", "6"} << 2 << QString()
                                         << "unexpected argument '6'\n" + usage;
    QTest::newRow("list with a value") << QStringList{"list", "5"} << 2 << QString()
                                       << "unexpected argument '5'\n" + usage;
    QTest::newRow("--help extra") << QStringList{"--help", "set"} << 2 << QString() << "unexpected argument 'set'";
    QTest::newRow("--version extra") << QStringList{"--version", "x"} << 2 << QString() << "unexpected argument 'x'";
}

void tst_Arguments::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, errHas);

    const CtlResult r = runCtl(args, sysfs());
    QCOMPARE(r.status, status);
    QCOMPARE(r.out, out);
    if (errHas.isEmpty())
        QCOMPARE(r.err, QString());
    else
        QVERIFY2(r.err.startsWith("brightness-ctl: ") && r.err.contains(errHas), qPrintable(r.err));
    QVERIFY(simhid::opens().empty());
}

void tst_Arguments::malformedValue_data()
{
    QTest::addColumn<QString>("value");
    for (const char *v : {"11", "-1", "5x", "101%", "%", "", "0x5", " 5", "5 ", "1e1", "ten", "50 %"})
        QTest::newRow(v[0] ? v : "empty") << QString(v);
}

void tst_Arguments::malformedValue()
{
    QFETCH(QString, value);
    const CtlResult r = runCtl({"set", value}, sysfs());
    QCOMPARE(r.status, 2);
    QCOMPARE(r.out, QString());
    QCOMPARE(r.err, QString("brightness-ctl: invalid brightness '%1': give a step from 0 to 10"
                            " or a percentage from 0% to 100%\n").arg(value));
    QVERIFY(simhid::opens().empty());
    QVERIFY(simhid::writes().empty());
}

void tst_Arguments::precedence_data()
{
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("worse");

    QTest::newRow("ok, ok") << 0 << 0 << 0;
    QTest::newRow("ok, failure") << 0 << 1 << 1;
    QTest::newRow("failure, permission") << 1 << 3 << 3;
    QTest::newRow("permission, failure") << 3 << 1 << 3;
    QTest::newRow("permission, usage") << 3 << 2 << 2;
    QTest::newRow("usage, failure") << 2 << 1 << 2;
    QTest::newRow("usage, ok") << 2 << 0 << 2;
}

void tst_Arguments::precedence()
{
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(int, worse);
    QCOMPARE(ctl::worse(a, b), worse);
}

QTEST_GUILESS_MAIN(tst_Arguments)
#include "tst_arguments.moc"
