#include <QtTest>

#include <memory>

#include "ctl/cli.h"
#include "control/cmdline.h"
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
    void values_data();
    void values();
    void floors_data();
    void floors();
    void records_data();
    void records();
    void selections_data();
    void selections();
    void durations_data();
    void durations();
    void options_data();
    void options();
    void uevent_data();
    void uevent();
    void help_data();
    void help();
    void commandLine_data();
    void commandLine();
    void malformedValue_data();
    void malformedValue();
    void fadeWithoutUnit_data();
    void fadeWithoutUnit();
    void precedence_data();
    void precedence();

private:
    // Fresh for each test function: staged nodes must not carry over.
    std::unique_ptr<testutil::SysfsTree> staged;
    testutil::SysfsTree &sysfs() { return *staged; }
};

void tst_Arguments::init()
{
    staged.reset(new testutil::SysfsTree);
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
    // An absolute value's level, or -1 where the text is no absolute value.
    control::Value value;
    const bool absolute = control::parseValue(text.toStdString(), &value) && !value.relative;
    QCOMPARE(absolute ? control::targetLevel(value, 0, 0) : -1, level);
}

void tst_Arguments::values_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical");  // empty: refused
    QTest::addColumn<int>("current");        // the remembered level
    QTest::addColumn<int>("floor");
    QTest::addColumn<int>("target");

    QTest::newRow("step 7") << "7" << "7" << 20 << 5 << 70;
    QTest::newRow("37%") << "37%" << "37%" << 20 << 5 << 37;
    QTest::newRow("set 0 is 0 whatever the floor") << "0" << "0" << 50 << 5 << 0;
    QTest::newRow("3% below the floor, absolute") << "3%" << "3%" << 50 << 5 << 3;
    QTest::newRow("+10%") << "+10%" << "+10%" << 50 << 5 << 60;
    QTest::newRow("10%+") << "10%+" << "+10%" << 50 << 5 << 60;
    QTest::newRow("10%-") << "10%-" << "10%-" << 50 << 5 << 40;
    QTest::newRow("+1 is ten percent") << "+1" << "+1" << 37 << 5 << 47;
    QTest::newRow("1-") << "1-" << "1-" << 37 << 5 << 27;
    QTest::newRow("+10% near the top") << "+10%" << "+10%" << 95 << 5 << 100;
    QTest::newRow("+100% from 100") << "+100%" << "+100%" << 100 << 5 << 100;
    QTest::newRow("+10 steps from 0") << "+10" << "+10" << 0 << 5 << 100;
    QTest::newRow("10%- stops at the floor") << "10%-" << "10%-" << 12 << 5 << 5;
    QTest::newRow("1- from the floor") << "1-" << "1-" << 5 << 5 << 5;
    QTest::newRow("1- from below the floor rises to it") << "1-" << "1-" << 0 << 5 << 5;
    QTest::newRow("100%- with floor 0") << "100%-" << "100%-" << 60 << 0 << 0;
    QTest::newRow("5%- with floor 100") << "5%-" << "5%-" << 60 << 100 << 100;
    QTest::newRow("+0 lifts to the floor") << "+0" << "+0" << 2 << 5 << 5;
    QTest::newRow("0- reads as +0") << "0-" << "+0" << 50 << 5 << 50;
    QTest::newRow("out-of-range record, high") << "+1%" << "+1%" << 250 << 5 << 100;
    QTest::newRow("out-of-range record, low") << "1%-" << "1%-" << -40 << 5 << 5;
    QTest::newRow("out-of-range floor") << "1%-" << "1%-" << 50 << 300 << 100;
    for (const char *bad : {"-10%", "+", "-", "++1", "+11", "+101%", "11-", "1--", "+ 1", "+1 ", "1-%", "%-",
                            "+-1", "1%%-", "+0x1", "+1+", "1%+-", "\u00b110%"})
        QTest::newRow(bad) << QString::fromUtf8(bad) << QString() << 50 << 5 << -1;
}

void tst_Arguments::values()
{
    QFETCH(QString, text);
    QFETCH(QString, canonical);
    QFETCH(int, current);
    QFETCH(int, floor);
    QFETCH(int, target);

    control::Value v;
    v.amount = 77;
    const bool ok = control::parseValue(text.toStdString(), &v);
    QCOMPARE(ok, !canonical.isEmpty());
    if (!ok) {
        QCOMPARE(v.amount, 77);  // untouched
        return;
    }
    QCOMPARE(QString::fromStdString(control::formatValue(v)), canonical);
    control::Value again;
    QVERIFY(control::parseValue(control::formatValue(v), &again));
    QCOMPARE(again.relative, v.relative);
    QCOMPARE(again.percent, v.percent);
    QCOMPARE(again.amount, v.amount);
    QCOMPARE(control::targetLevel(v, current, floor), target);
}

void tst_Arguments::floors_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("floor");  // -1: refused

    QTest::newRow("5%") << "5%" << 5;
    QTest::newRow("0%") << "0%" << 0;
    QTest::newRow("100%") << "100%" << 100;
    QTest::newRow("step 5 is not a floor") << "5" << -1;
    QTest::newRow("101%") << "101%" << -1;
    QTest::newRow("-5%") << "-5%" << -1;
    QTest::newRow("+5%") << "+5%" << -1;
    QTest::newRow("empty") << "" << -1;
}

void tst_Arguments::floors()
{
    QFETCH(QString, text);
    QFETCH(int, floor);
    int got = -1;
    QCOMPARE(control::parseFloor(text.toStdString(), &got), floor >= 0);
    QCOMPARE(got, floor);
}

void tst_Arguments::records_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("entries");  // "PLACE VVVV:PPPP LEVEL SERIAL" as parsed; empty + !ok: refused
    QTest::addColumn<bool>("ok");

    const QByteArray a = "pci-0000:00:14.0-usb-0:2:1.0";
    const QByteArray b = "pci-0000:00:14.0-usb-0:3:1.0";
    QTest::newRow("one line") << QByteArray(a + " 0483:5750 70 3\n") << QStringList{a + " 0483:5750 70 3"} << true;
    QTest::newRow("empty file") << QByteArray() << QStringList{} << true;
    QTest::newRow("comments, blanks, tabs, no final newline")
        << QByteArray("# x\n\n   \n\t" + a + "\t0EEF:0005  0 4294967295")
        << QStringList{a + " 0eef:0005 0 4294967295 off"}
        << true;
    QTest::newRow("sorted by place") << QByteArray(b + " 0483:5750 10 1\n" + a + " 0483:5750 20 1\n")
                                     << QStringList{a + " 0483:5750 20 1", b + " 0483:5750 10 1"} << true;
    QTest::newRow("same place, two identities") << QByteArray(a + " 0484:5750 10 1\n" + a + " 0483:5750 20 1\n")
                                                << QStringList{a + " 0483:5750 20 1", a + " 0484:5750 10 1"} << true;
    QTest::newRow("a later line wins") << QByteArray(a + " 0483:5750 10 1\n" + a + " 0483:5750 90 2\n")
                                       << QStringList{a + " 0483:5750 90 2"} << true;
    QTest::newRow("leading zeros") << QByteArray(a + " 0483:5750 007 01\n") << QStringList{a + " 0483:5750 7 1"}
                                   << true;
    QTest::newRow("CR LF") << QByteArray(a + " 0483:5750 70 3\r\n") << QStringList{a + " 0483:5750 70 3"} << true;
    QTest::newRow("off, the level kept") << QByteArray(a + " 0483:5750 70 3 off\n")
                                         << QStringList{a + " 0483:5750 70 3 off"} << true;
    QTest::newRow("dimmed") << QByteArray(a + " 0483:5750 70 3 dim:20\n") << QStringList{a + " 0483:5750 70 3 dim:20"}
                            << true;
    QTest::newRow("off by idle") << QByteArray(a + " 0483:5750 70 3 off:idle\n")
                                 << QStringList{a + " 0483:5750 70 3 off:idle"} << true;
    QTest::newRow("level 0, lit, as earlier versions wrote 'set 0': off, nothing remembered")
        << QByteArray(a + " 0483:5750 0 3 on\n") << QStringList{a + " 0483:5750 0 3 off"} << true;
    QTest::newRow("nothing remembered, dimmed") << QByteArray(a + " 0483:5750 0 3 dim:20\n")
                                                << QStringList{a + " 0483:5750 0 3 dim:20"} << true;
    QTest::newRow("on, as a four-field line means") << QByteArray(a + " 0483:5750 70 3 on\n")
                                                    << QStringList{a + " 0483:5750 70 3"} << true;
    for (const char *bad : {" 0483:5750 70", " 0483:5750 70 3 x", " 0483:5750 101 3",
                            " 0483:5750 -1 3", " 0483:5750 +5 3", " 04835750 70 3", " 483:5750 70 3",
                            " 00483:5750 70 3", " 0483:575g 70 3", " 0483:5750 70 4294967296", " 0483:5750 7.0 3",
                            " 0483:5750 70 3 dim:0", " 0483:5750 70 3 dim:101", " 0483:5750 70 3 on x", " 0483:5750 70 3 OFF",
                            " 0483:5750 70 3 off:idle x", " 0483:5750 70 3 off:", " 0483:5750 70 3 on:idle",
                            " 0483:5750 70 3 dim:20:idle",
                            "#x 0483:5750 70 3"})
        QTest::newRow(qPrintable("malformed:" + QString(bad))) << QByteArray(a + bad + "\n") << QStringList{} << false;
    QTest::newRow("place alone") << QByteArray("usb-0:1\n") << QStringList{} << false;
    QTest::newRow("non-ASCII place") << QByteArray("us\xc3\xa9 0483:5750 70 3\n") << QStringList{} << false;
    QTest::newRow("place of 256 characters") << QByteArray(256, 'p') + " 0483:5750 70 3\n" << QStringList{} << false;
    QTest::newRow("a good line, then a bad one") << QByteArray(a + " 0483:5750 70 3\n" + b + " 0483:5750\n")
                                                 << QStringList{} << false;
}

void tst_Arguments::records()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, entries);
    QFETCH(bool, ok);

    control::Record r;
    r.entries.push_back({"untouched", 1, 2, 3, 4});
    QCOMPARE(control::parseRecord(text.toStdString(), &r), ok);
    if (!ok) {
        QCOMPARE(int(r.entries.size()), 1);
        QCOMPARE(QString::fromStdString(r.entries[0].place), QString("untouched"));
        return;
    }
    QStringList got;
    for (const control::Entry &e : r.entries)
        got << QString::asprintf("%s %04x:%04x %d %lu", e.place.c_str(), e.vendor, e.product, e.level, e.serial)
                   + (e.shown == control::shownLit  ? QString()
                      : e.shown == control::shownOff ? (e.byIdle ? " off:idle" : " off")
                                                 : QString(" dim:%1").arg(e.shown));
    QCOMPARE(got, entries);

    // Written and read back, the record is the same.
    const std::string written = control::formatRecord(r);
    control::Record again;
    QVERIFY(control::parseRecord(written, &again));
    QCOMPARE(control::formatRecord(again), written);
    QCOMPARE(again.entries.size(), r.entries.size());
    QVERIFY(QString::fromStdString(written).startsWith("# "));
}

void tst_Arguments::selections_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("node");
    QTest::addColumn<QString>("place");

    QTest::newRow("/dev/hidraw0") << "/dev/hidraw0" << true << 0 << QString();
    QTest::newRow("/dev/hidraw9") << "/dev/hidraw9" << true << 9 << QString();
    QTest::newRow("bus place") << "pci-0000:00:14.0-usb-0:2:1.0" << true << -1 << "pci-0000:00:14.0-usb-0:2:1.0";
    QTest::newRow("/dev/hidraw10") << "/dev/hidraw10" << false << -1 << QString();
    QTest::newRow("/dev/hidraw") << "/dev/hidraw" << false << -1 << QString();
    QTest::newRow("/dev/hidrawx") << "/dev/hidrawx" << false << -1 << QString();
    QTest::newRow("empty") << "" << false << -1 << QString();
    QTest::newRow("blank inside") << "usb 1" << false << -1 << QString();
    QTest::newRow("a path that is not a node") << "/dev/input/event0" << false << -1 << QString();
    QTest::newRow("a file") << "/tmp/display" << false << -1 << QString();
}

void tst_Arguments::selections()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, node);
    QFETCH(QString, place);
    control::Selection sel;
    QCOMPARE(control::parseSelection(text.toStdString(), &sel), ok);
    QCOMPARE(sel.node, node);
    QCOMPARE(QString::fromStdString(sel.place), place);
}

void tst_Arguments::durations_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<qlonglong>("ms");  // -1: refused

    // The rules of --fade, of brightness-idle's quiet times and of the MQTT keepalive.
    QTest::newRow("fade, bare number is ms") << "3000" << "fade" << 3000LL;
    QTest::newRow("fade 0") << "0" << "fade" << 0LL;
    QTest::newRow("fade 500ms") << "500ms" << "fade" << 500LL;
    QTest::newRow("fade 3s") << "3s" << "fade" << 3000LL;
    QTest::newRow("fade 10m, the longest") << "10m" << "fade" << 600000LL;
    QTest::newRow("fade 600000") << "600000" << "fade" << 600000LL;
    QTest::newRow("fade 600001") << "600001" << "fade" << -1LL;
    QTest::newRow("fade 1h") << "1h" << "fade" << -1LL;
    QTest::newRow("quiet, unit needed") << "30" << "quiet" << -1LL;
    QTest::newRow("quiet 1500ms") << "1500ms" << "quiet" << 1500LL;
    QTest::newRow("quiet 999ms") << "999ms" << "quiet" << -1LL;
    QTest::newRow("quiet 24h") << "24h" << "quiet" << 86400000LL;
    QTest::newRow("keepalive, bare number is seconds") << "60" << "keepalive" << 60000LL;
    QTest::newRow("keepalive 2m") << "2m" << "keepalive" << 120000LL;
    QTest::newRow("keepalive 60000ms") << "60000ms" << "keepalive" << 60000LL;
    QTest::newRow("keepalive 1500ms, not whole") << "1500ms" << "keepalive" << -1LL;
    QTest::newRow("keepalive 4s") << "4s" << "keepalive" << -1LL;
    for (const char *bad : {"", "s", "ms", "-5", "+5", "1.5s", "5 s", " 5s", "5S", "5sec", "5m30s", "5d", "0x10",
                            "9999999999ms", "99999999999999999999h"})
        QTest::newRow(qPrintable("fade '" + QString(bad) + "'")) << bad << "fade" << -1LL;
}

void tst_Arguments::durations()
{
    QFETCH(QString, text);
    QFETCH(QString, rule);
    QFETCH(qlonglong, ms);
    const control::DurationRule rules[] = {{1, 0, 600000, 1}, {0, 1000, 86400000, 1}, {1000, 5000, 3600000, 1000}};
    const int which = QStringList{"fade", "quiet", "keepalive"}.indexOf(rule);
    long long got = -7;
    QCOMPARE(control::parseDuration(text.toStdString(), rules[which], &got), ms >= 0);
    QCOMPARE(got, ms >= 0 ? ms : -7);
}

void tst_Arguments::options_data()
{
    QTest::addColumn<QStringList>("args");
    // "verb [operands] fade floor flags device" as parsed, "help", or "!" and the reason.
    QTest::addColumn<QString>("result");

    QTest::newRow("--fade bare is ms") << QStringList{"set", "5", "--fade", "3000"} << "set [5] 3000 5  -1";
    QTest::newRow("--fade=3s") << QStringList{"set", "5", "--fade=3s"} << "set [5] 3000 5  -1";
    QTest::newRow("--fade 250ms first") << QStringList{"--fade", "250ms", "off"} << "off [] 250 5  -1";
    QTest::newRow("--fade 10m") << QStringList{"on", "--fade", "10m"} << "on [] 600000 5  -1";
    QTest::newRow("--fade 11m") << QStringList{"on", "--fade", "11m"} << "!invalid fade '11m'";
    QTest::newRow("bundled -mv") << QStringList{"list", "-mv"} << "list [] 0 5 mv -1";
    QTest::newRow("bundled -vm before") << QStringList{"-vm", "list"} << "list [] 0 5 mv -1";
    QTest::newRow("bundled with a value") << QStringList{"get", "-md/dev/hidraw3"} << "get [] 0 5 m 3";
    QTest::newRow("abbreviated long option") << QStringList{"get", "--mach"} << "get [] 0 5 m -1";
    QTest::newRow("operands keep their order") << QStringList{"--min", "10%", "set", "+10%"} << "set [+10%] 0 10  -1";
    QTest::newRow("values as operands") << QStringList{"set", "10%-", "--min", "7%"} << "set [10%-] 0 7  -1";
    QTest::newRow("-- before the value") << QStringList{"set", "--", "10%-"} << "set [10%-] 0 5  -1";
    QTest::newRow("-- first") << QStringList{"--", "set", "5"} << "set [5] 0 5  -1";
    QTest::newRow("-- makes --help a value") << QStringList{"set", "--", "--help"} << "set [--help] 0 5  -1";
    QTest::newRow("-- makes -m a value") << QStringList{"list", "--", "-m"} << "!unexpected argument '-m'";
    QTest::newRow("--help after a bad option") << QStringList{"set", "-x", "--help"} << "help";
    QTest::newRow("--help before a bad value") << QStringList{"--help", "--fade=x", "set"} << "help";
    QTest::newRow("-h bundled") << QStringList{"list", "-mh"} << "help";
    QTest::newRow("--version anywhere") << QStringList{"set", "--version"} << "!unexpected argument 'set'";
    QTest::newRow("sign in front, step") << QStringList{"set", "-5"}
                                         << "!unknown option '-5' (to lower the level, put the sign after: 5-)";
    QTest::newRow("sign in front, percent") << QStringList{"set", "-10%"}
                                            << "!unknown option '-10%' (to lower the level, put the sign after: 10%-)";
    QTest::newRow("unknown in a bundle") << QStringList{"list", "-mx"} << "!unknown option '-x'";
    QTest::newRow("unknown long with a value") << QStringList{"list", "--quiet=1"} << "!unknown option '--quiet'";
    QTest::newRow("flag with a value") << QStringList{"list", "--machine=1"} << "!'--machine' takes no value";
    QTest::newRow("-d without value") << QStringList{"get", "-d"} << "!'-d' needs a value";
    QTest::newRow("the first problem") << QStringList{"set", "--fade=x", "--min=x"} << "!invalid fade 'x'";
}

void tst_Arguments::options()
{
    QFETCH(QStringList, args);
    QFETCH(QString, result);
    std::vector<std::string> argv;
    for (const QString &a : args)
        argv.push_back(a.toStdString());
    ctl::Options o;
    std::string why;
    const bool ok = ctl::parseCommandLine(argv, &o, &why);
    QString got = "!" + QString::fromStdString(why);
    if (ok && o.command == ctl::commandHelp)
        got = "help";
    else if (ok)
        got = QString("%1 [%2] %3 %4 %5%6 %7")
                  .arg(QString::fromStdString(o.verb))
                  .arg(QString::fromStdString(o.operands.empty() ? "" : o.operands[0]))
                  .arg(o.fadeMs)
                  .arg(o.floor)
                  .arg(o.machine ? "m" : "")
                  .arg(o.verbose ? "v" : "")
                  .arg(o.selection.node);
    if (result.startsWith('!'))
        QVERIFY2(!ok && got.startsWith(result), qPrintable(got));
    else
        QCOMPARE(got, result);
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

    DisplayIdentity id{0x1111, 0x2222};
    QCOMPARE(::parseUevent(text.toStdString(), &id), ok);
    if (ok) {
        QCOMPARE(int(id.vendor), vendor);
        QCOMPARE(int(id.product), product);
    }
}

void tst_Arguments::help_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QStringList>("around");  // the rest of the command line
    QTest::newRow("-h") << "-h" << QStringList();
    QTest::newRow("--help") << "--help" << QStringList();
    QTest::newRow("--help after a command") << "--help" << QStringList{"set"};
    QTest::newRow("-h after a bad value") << "-h" << QStringList{"set", "11", "--fade=x"};
    QTest::newRow("-h in a bundle") << "-mh" << QStringList{"list"};
    QTest::newRow("--help after an unknown option") << "--help" << QStringList{"-x", "on"};
}

void tst_Arguments::help()
{
    QFETCH(QString, option);
    QFETCH(QStringList, around);
    const CtlResult r = runCtl(around + QStringList{option}, sysfs());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, QString());
    QVERIFY2(r.out.startsWith("Usage: brightness-ctl "), qPrintable(r.out));
    for (const char *verb : {"set STEP", "off ", "on ", "toggle ", "get ", "restore ", "list "})
        QVERIFY2(r.out.contains(QString("brightness-ctl ") + verb), verb);
    QVERIFY2(r.out.contains("Exit status: 0 done (restore with nothing remembered: nothing to do);\n1 no display found"), qPrintable(r.out));
    QVERIFY2(r.out.contains("When several apply: 2 before 3 before 1."), qPrintable(r.out));
    QVERIFY(simhid::opens().empty());
}

void tst_Arguments::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");      // exact standard output
    QTest::addColumn<QString>("errHas");   // in standard error; empty: none at all

    const QString usage = "\nTry 'brightness-ctl --help'.\n";
    const QString version = QString("brightness-ctl %1\n").arg(BRIGHTNESS_VERSION);

    QTest::newRow("--version") << QStringList{"--version"} << 0 << version << QString();
    QTest::newRow("unknown command") << QStringList{"stat"} << 2 << QString() << "unknown command 'stat'" + usage;
    QTest::newRow("--machine without command") << QStringList{"-m"} << 2 << QString()
                                               << "'--machine' applies to 'list' and 'get' only" + usage;
    QTest::newRow("--verbose for get") << QStringList{"get", "-v"} << 2 << QString()
                                       << "'--verbose' applies to 'list' only";
    QTest::newRow("off with a value") << QStringList{"off", "5"} << 2 << QString() << "unexpected argument '5'";
    QTest::newRow("unknown option") << QStringList{"-b", "5"} << 2 << QString() << "unknown option '-b'";
    QTest::newRow("leading minus, hint") << QStringList{"set", "-1"} << 2 << QString()
                                         << "unknown option '-1' (to lower the level, put the sign after: 1-)";
    QTest::newRow("get with a value") << QStringList{"get", "5"} << 2 << QString() << "unexpected argument '5'";
    QTest::newRow("restore with a value") << QStringList{"restore", "5"} << 2 << QString()
                                          << "unexpected argument '5'";
    QTest::newRow("--machine for set") << QStringList{"set", "5", "-m"} << 2 << QString()
                                       << "'--machine' applies to 'list' and 'get' only";
    QTest::newRow("--fade for get") << QStringList{"get", "--fade", "100"} << 2 << QString()
                                    << "'--fade' applies to 'set', 'on', 'off', 'toggle' and 'restore' only";
    QTest::newRow("--min for list") << QStringList{"list", "--min=5%"} << 2 << QString()
                                    << "'--min' applies to 'set', 'on', 'off', 'toggle' and 'restore' only";
    QTest::newRow("--stay-off for on") << QStringList{"on", "--stay-off"} << 2 << QString()
                                       << "'--stay-off' applies to 'set' only";
    QTest::newRow("--stay-off with a value") << QStringList{"set", "5", "--stay-off=1"} << 2 << QString()
                                             << "'--stay-off' takes no value";
    QTest::newRow("--min without %") << QStringList{"set", "+1", "--min", "5"} << 2 << QString()
                                     << "invalid floor '5'";
    QTest::newRow("--min 101%") << QStringList{"restore", "--min", "101%"} << 2 << QString()
                                << "invalid floor '101%'";
    QTest::newRow("--fade not a number") << QStringList{"set", "5", "--fade", "1x"} << 2 << QString()
                                         << "invalid fade '1x'";
    QTest::newRow("--fade past 10m") << QStringList{"on", "--fade", "601s"} << 2 << QString() << "invalid fade '601s'";
    QTest::newRow("unknown option in a bundle") << QStringList{"list", "-mq"} << 2 << QString()
                                                << "unknown option '-q'" + usage;
    QTest::newRow("--fade too long") << QStringList{"set", "5", "--fade=600001"} << 2 << QString()
                                     << "invalid fade '600001'";
    QTest::newRow("--fade without value") << QStringList{"set", "5", "--fade"} << 2 << QString()
                                          << "'--fade' needs a value";
    QTest::newRow("-d node 10") << QStringList{"set", "5", "-d", "/dev/hidraw10"} << 2 << QString()
                                << "invalid device '/dev/hidraw10'";
    QTest::newRow("--device with a blank") << QStringList{"get", "--device", "usb 1"} << 2 << QString()
                                           << "invalid device 'usb 1'";
    QTest::newRow("--device for --version") << QStringList{"--version", "-d", "/dev/hidraw1"} << 2 << QString()
                                            << "'--device' does not apply to '--version'";
    QTest::newRow("set without value") << QStringList{"set"} << 2 << QString() << "'set' needs a value" + usage;
    QTest::newRow("set with two values") << QStringList{"set", "5", "6"} << 2 << QString()
                                         << "unexpected argument '6'" + usage;
    QTest::newRow("list with a value") << QStringList{"list", "5"} << 2 << QString()
                                       << "unexpected argument '5'" + usage;
    QTest::newRow("--version extra") << QStringList{"--version", "x"} << 2 << QString() << "unexpected argument 'x'";
    QTest::newRow("set 11") << QStringList{"set", "11"} << 2 << QString() << "invalid brightness '11'";
    QTest::newRow("set up") << QStringList{"set", "up"} << 2 << QString() << "invalid brightness 'up'";
    QTest::newRow("set 5x, faded") << QStringList{"set", "5x", "--fade", "3s"} << 2 << QString()
                                   << "invalid brightness '5x'";
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
    // A usage error: one line naming the problem, then where help is.
    if (status == 2)
        QVERIFY2(r.err.count('\n') == 2 && r.err.endsWith("\nTry 'brightness-ctl --help'.\n"), qPrintable(r.err));
    QVERIFY(simhid::opens().empty());
}

void tst_Arguments::malformedValue_data()
{
    QTest::addColumn<QString>("value");
    for (const char *v : {"11", "5x", "up", "101%", "%", "", "0x5", " 5", "5 ", "1e1", "ten", "50 %", "+11", "101%-",
                          "1--", "+-1", "++1", "1+-", "%-", "+%"})
        QTest::newRow(v[0] ? v : "empty") << QString(v);
}

void tst_Arguments::malformedValue()
{
    QFETCH(QString, value);
    const CtlResult r = runCtl({"set", value}, sysfs());
    QCOMPARE(r.status, 2);
    QCOMPARE(r.out, QString());
    QCOMPARE(r.err, QString("brightness-ctl: invalid brightness '%1': give a step from 0 to 10"
                            " or a percentage from 0% to 100%, or a change such as +1, 1-, +10% or 10%-\n"
                            "Try 'brightness-ctl --help'.\n")
                        .arg(value));
    QVERIFY(simhid::opens().empty());
    QVERIFY(simhid::writes().empty());
}

void tst_Arguments::fadeWithoutUnit_data()
{
    QTest::addColumn<QString>("fade");
    QTest::addColumn<bool>("warned");

    QTest::newRow("3: seconds meant") << "3" << true;
    QTest::newRow("19, shorter than a step") << "19" << true;
    QTest::newRow("20, one step") << "20" << false;
    QTest::newRow("3000") << "3000" << false;
    QTest::newRow("0: no fade") << "0" << false;
    QTest::newRow("3ms, said so") << "3ms" << false;
    QTest::newRow("3s") << "3s" << false;
}

void tst_Arguments::fadeWithoutUnit()
{
    // Warned, and done all the same: the number is milliseconds, as ever.
    QFETCH(QString, fade);
    QFETCH(bool, warned);
    QVERIFY(sysfs().stagePlace(0, testutil::usbDevicePath(1)));
    testutil::FakeClock clock;
    const CtlResult r = runCtl({"set", "50%", "--fade", fade}, sysfs(), &clock);
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, warned ? QString("brightness-ctl: --fade %1 is %1 ms; a unit is probably missing (%1s for seconds)\n")
                                 .arg(fade)
                           : QString());
    QVERIFY(!simhid::writes().empty());
    QCOMPARE(int(simhid::writes().back().bytes[6]), 50);
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
    QTest::newRow("signal, usage") << 143 << 2 << 143;
    QTest::newRow("failure, signal") << 1 << 130 << 130;
}

void tst_Arguments::precedence()
{
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(int, worse);
    QCOMPARE(control::worse(a, b), worse);
}

QTEST_GUILESS_MAIN(tst_Arguments)
#include "tst_arguments.moc"
