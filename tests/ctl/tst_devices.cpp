#include <QtTest>

#include "../support/testutil.h"

#include <memory>

#include <cerrno>

#include "ctlrun.h"
#include "simhid.h"

// brightness-ctl against the simulated display: which nodes it opens and
// writes, the bytes it sends, what it says and how it exits.
class tst_Devices : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void reportBytes_data();
    void reportBytes();
    void noDisplay_data();
    void noDisplay();
    void severalDisplays();
    void listDisplays();
    void permissionRefused_data();
    void permissionRefused();
    void refusedNodeThatIsNotADisplay_data();
    void refusedNodeThatIsNotADisplay();
    void displayFailsOtherwise_data();
    void displayFailsOtherwise();
    void kernelIdentityWinsOverSysfs();
    void permissionOutranksFailure();
    void unpluggedBetweenFindAndWrite();

private:
    static QList<int> writtenNodes()
    {
        QList<int> nodes;
        for (const simhid::WriteRecord &w : simhid::writes())
            nodes << w.node;
        return nodes;
    }
    static QList<int> openedNodes()
    {
        QList<int> nodes;
        for (const simhid::OpenRecord &o : simhid::opens())
            if (!nodes.contains(o.node))
                nodes << o.node;
        return nodes;
    }

    // Fresh for each test function: staged nodes must not carry over.
    std::unique_ptr<StagedSysfs> staged;
    StagedSysfs &sysfs() { return *staged; }
};

void tst_Devices::init()
{
    staged.reset(new StagedSysfs);
    simhid::reset();
}

void tst_Devices::reportBytes_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("level");

    for (int step = 0; step <= 10; ++step)
        QTest::addRow("step %d", step) << QString::number(step) << step * 10;
    for (int percent : {0, 1, 9, 33, 64, 99, 100})
        QTest::addRow("%d%%", percent) << QString("%1%").arg(percent) << percent;
}

void tst_Devices::reportBytes()
{
    QFETCH(QString, value);
    QFETCH(int, level);

    simhid::present(0, 3, 0x0483, 0x5750);
    const CtlResult r = runCtl({"set", value}, sysfs());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out, QString());
    QCOMPARE(r.err, QString());

    const auto writes = simhid::writes();
    QCOMPARE(int(writes.size()), 1);
    const QByteArray sent(reinterpret_cast<const char *>(writes[0].bytes.data()), int(writes[0].bytes.size()));
    QCOMPARE(sent.toHex(), testutil::brightnessReport(level).toHex());
    QCOMPARE(writes[0].result, 38L);
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

void tst_Devices::noDisplay_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("keyboard");

    QTest::newRow("set, no node") << "set" << false;
    QTest::newRow("set, a keyboard only") << "set" << true;
    QTest::newRow("list, no node") << "list" << false;
    QTest::newRow("list, a keyboard only") << "list" << true;
}

void tst_Devices::noDisplay()
{
    QFETCH(QString, command);
    QFETCH(bool, keyboard);

    if (keyboard)
        simhid::present(3, 3, 0x046d, 0xc31c);
    const QStringList args = command == "set" ? QStringList{"set", "5"} : QStringList{"list"};
    const CtlResult r = runCtl(args, sysfs());
    QCOMPARE(r.status, 1);
    QCOMPARE(r.out, QString());
    QCOMPARE(r.err, QString("brightness-ctl: no display found on /dev/hidraw0 to /dev/hidraw9"
                            " (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n"));
    QVERIFY(simhid::writes().empty());
    // Every node was tried once, and the keyboard left closed.
    QCOMPARE(openedNodes(), (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    QCOMPARE(simhid::identityRequests(3), keyboard ? 1 : 0);
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

void tst_Devices::severalDisplays()
{
    simhid::present(0, 3, 0x046d, 0xc31c);
    simhid::present(2, 3, 0x0483, 0x5750);
    simhid::present(5, 3, 0x0EEF, 0x0005);
    simhid::present(9, 3, 0x0484, 0x5750);
    const CtlResult r = runCtl({"set", "3"}, sysfs());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, QString());
    QCOMPARE(writtenNodes(), (QList<int>{2, 5, 9}));
    for (const simhid::WriteRecord &w : simhid::writes()) {
        QCOMPARE(w.bytes.size(), std::size_t(38));
        QCOMPARE(int(w.bytes[6]), 30);
    }
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

void tst_Devices::listDisplays()
{
    simhid::present(1, 3, 0x0484, 0x5750);
    simhid::present(4, 3, 0x046d, 0xc31c);
    simhid::present(7, 5, 0x0EEF, 0x0005);
    const CtlResult r = runCtl({"list"}, sysfs());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.out, QString("/dev/hidraw1 0484:5750\n/dev/hidraw7 0eef:0005\n"));
    QVERIFY(simhid::writes().empty());
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

void tst_Devices::permissionRefused_data()
{
    QTest::addColumn<int>("err");
    QTest::addColumn<bool>("otherDisplay");
    QTest::addColumn<QString>("command");

    QTest::newRow("EACCES, set") << EACCES << false << "set";
    QTest::newRow("EPERM, set") << EPERM << false << "set";
    QTest::newRow("EACCES, another display set") << EACCES << true << "set";
    QTest::newRow("EACCES, list") << EACCES << false << "list";
    QTest::newRow("EPERM, list with another display") << EPERM << true << "list";
}

void tst_Devices::permissionRefused()
{
    QFETCH(int, err);
    QFETCH(bool, otherDisplay);
    QFETCH(QString, command);

    simhid::failOpen(1, err);
    QVERIFY(sysfs().stageId(1, "0003:00000483:00005750"));
    if (otherDisplay)
        simhid::present(6, 3, 0x0EEF, 0x0005);

    const CtlResult r = runCtl(command == "set" ? QStringList{"set", "80%"} : QStringList{"list"}, sysfs());
    QCOMPARE(r.status, 3);
    const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QString("brightness-ctl: /dev/hidraw1: cannot open display 0483:5750: %1")
                           .arg(QString::fromLocal8Bit(strerror(err))));
    QVERIFY2(lines[1].contains("udev rule 70-brightness.rules")
                 && lines[1].contains("reconnect the display or log in again"),
             qPrintable(lines[1]));

    if (command == "set") {
        QCOMPARE(r.out, QString());
        // Not every display could be set, so the refusal decides the status.
        QCOMPARE(writtenNodes(), otherDisplay ? QList<int>{6} : QList<int>{});
        if (otherDisplay)
            QCOMPARE(int(simhid::writes()[0].bytes[6]), 80);
    } else {
        QCOMPARE(r.out, QString(otherDisplay ? "/dev/hidraw1 0483:5750 no-permission\n/dev/hidraw6 0eef:0005\n"
                                             : "/dev/hidraw1 0483:5750 no-permission\n"));
        QVERIFY(simhid::writes().empty());
    }
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

void tst_Devices::refusedNodeThatIsNotADisplay_data()
{
    QTest::addColumn<QByteArray>("uevent");  // empty: no sysfs entry

    QTest::newRow("a keyboard") << QByteArray("HID_ID=0003:0000046D:0000C31C\n");
    QTest::newRow("no sysfs entry") << QByteArray();
    QTest::newRow("no HID_ID line") << QByteArray("DRIVER=hid-generic\n");
}

void tst_Devices::refusedNodeThatIsNotADisplay()
{
    QFETCH(QByteArray, uevent);

    // Other hidraw nodes stay root-only under the udev rule: not worth a word.
    simhid::failOpen(0, EACCES);
    if (!uevent.isEmpty())
        QVERIFY(sysfs().stage(0, uevent));
    simhid::present(1, 3, 0x0483, 0x5750);
    const CtlResult r = runCtl({"set", "10"}, sysfs());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, QString());
    QCOMPARE(writtenNodes(), QList<int>{1});
}

void tst_Devices::displayFailsOtherwise_data()
{
    QTest::addColumn<bool>("openFails");  // else the identity request fails
    QTest::addColumn<bool>("named");      // sysfs names it as a display
    QTest::addColumn<QString>("message");

    QTest::newRow("open EIO, named") << true << true
                                     << "brightness-ctl: /dev/hidraw2: cannot open display 0eef:0005: "
                                        + QString::fromLocal8Bit(strerror(EIO)) + "\n";
    QTest::newRow("identity EIO, named") << false << true
                                         << "brightness-ctl: /dev/hidraw2: cannot read identity: "
                                            + QString::fromLocal8Bit(strerror(EIO)) + "\n";
    QTest::newRow("identity EIO, unnamed") << false << false
                                           << "brightness-ctl: no display found on /dev/hidraw0 to"
                                              " /dev/hidraw9 (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n";
}

void tst_Devices::displayFailsOtherwise()
{
    QFETCH(bool, openFails);
    QFETCH(bool, named);
    QFETCH(QString, message);

    if (openFails)
        simhid::failOpen(2, EIO);
    else
        simhid::failIdentity(2, EIO);
    if (named)
        QVERIFY(sysfs().stageId(2, "0003:00000EEF:00000005"));
    const CtlResult r = runCtl({"set", "4"}, sysfs());
    QCOMPARE(r.status, 1);
    QCOMPARE(r.err, message);
    QVERIFY(simhid::writes().empty());
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

void tst_Devices::kernelIdentityWinsOverSysfs()
{
    // The node the sysfs text names is not what the kernel answers for it.
    QVERIFY(sysfs().stageId(0, "0003:00000483:00005750"));
    simhid::present(0, 3, 0x046d, 0xc31c);
    QVERIFY(sysfs().stageId(3, "0003:0000046D:0000C31C"));
    simhid::present(3, 3, 0x0484, 0x5750);
    const CtlResult r = runCtl({"set", "2"}, sysfs());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, QString());
    QCOMPARE(writtenNodes(), QList<int>{3});
}

void tst_Devices::permissionOutranksFailure()
{
    simhid::failIdentity(1, EIO);
    QVERIFY(sysfs().stageId(1, "0003:00000483:00005750"));
    simhid::failOpen(4, EACCES);
    QVERIFY(sysfs().stageId(4, "0003:00000484:00005750"));
    simhid::present(8, 3, 0x0483, 0x5750);
    const CtlResult r = runCtl({"set", "6"}, sysfs());
    QCOMPARE(r.status, 3);
    QVERIFY2(r.err.contains("/dev/hidraw1: cannot read identity") && r.err.contains("/dev/hidraw4: cannot open display"),
             qPrintable(r.err));
    QCOMPARE(writtenNodes(), QList<int>{8});
}

void tst_Devices::unpluggedBetweenFindAndWrite()
{
    simhid::present(2, 3, 0x0483, 0x5750);
    simhid::present(4, 3, 0x0EEF, 0x0005);
    CtlStreams streams;
    const ctl::Environment env = streams.env(sysfs());

    ctl::Scan scan = ctl::findDisplays(env);
    QCOMPARE(scan.status, 0);
    QCOMPARE(int(scan.usable.size()), 2);
    simhid::unplug(2);
    QCOMPARE(ctl::sendLevel(scan.usable, 70, env), 1);
    ctl::closeDisplays(&scan);

    QCOMPARE(streams.errText(), QString("brightness-ctl: /dev/hidraw2: write failed: %1\n")
                                    .arg(QString::fromLocal8Bit(strerror(ENODEV))));
    const auto writes = simhid::writes();
    QCOMPARE(int(writes.size()), 2);
    QCOMPARE(writes[0].node, 2);
    QCOMPARE(writes[0].err, ENODEV);
    // The other display is still set.
    QCOMPARE(writes[1].node, 4);
    QCOMPARE(writes[1].result, 38L);
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

QTEST_GUILESS_MAIN(tst_Devices)
#include "tst_devices.moc"
