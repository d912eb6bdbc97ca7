#include <QtTest>

#include "../support/testutil.h"

#include <memory>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ctlrun.h"
#include "control/store.h"
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
    void busPlace_data();
    void busPlace();
    void remember_data();
    void remember();
    void relative_data();
    void relative();
    void fade_data();
    void fade();
    void newerRequestCancelsFade_data();
    void newerRequestCancelsFade();
    void signalStopsFade_data();
    void signalStopsFade();
    void restore_data();
    void restore();
    void recordNotWritable_data();
    void recordNotWritable();
    void recordLock_data();
    void recordLock();
    void corruptRecord_data();
    void corruptRecord();

private:
    // A display on a port of the first USB bus, as sysfs and the kernel show it.
    void plugDisplay(int node, int port, unsigned short vendor = 0x0483, unsigned short product = 0x5750)
    {
        simhid::present(node, 3, vendor, product);
        QVERIFY(sysfs().stagePlace(node, testutil::usbDevicePath(port, vendor, product, node + 1),
                                   testutil::hidId(vendor, product)));
    }
    static QList<int> writtenLevels()
    {
        QList<int> levels;
        for (const simhid::WriteRecord &w : simhid::writes())
            levels << (w.bytes.size() > 6 ? int(w.bytes[6]) : -1);
        return levels;
    }
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
    std::unique_ptr<testutil::SysfsTree> staged;
    testutil::SysfsTree &sysfs() { return *staged; }
};

void tst_Devices::init()
{
    staged.reset(new testutil::SysfsTree);
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

    plugDisplay(0, 1);
    const CtlResult r = runCtl({"set", value}, sysfs());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out, QString());
    QCOMPARE(r.err, QString());
    QCOMPARE(recordedLevel(sysfs(), 1), level);

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
                            " (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n")
                        + (keyboard ? "brightness-ctl: hidraw nodes present: /dev/hidraw3 046d:c31c\n"
                                    : "brightness-ctl: no hidraw node is present\n"));
    QVERIFY(simhid::writes().empty());
    // Every node was tried once, and the keyboard left closed.
    QCOMPARE(openedNodes(), (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    QCOMPARE(simhid::identityRequests(3), keyboard ? 1 : 0);
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

void tst_Devices::severalDisplays()
{
    simhid::present(0, 3, 0x046d, 0xc31c);
    plugDisplay(2, 2);
    plugDisplay(5, 5, 0x0EEF, 0x0005);
    plugDisplay(9, 9, 0x0484, 0x5750);
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
    QTest::addColumn<bool>("member");  // of the group the rule gives displays to: else one that does not exist

    QTest::newRow("EACCES, set") << EACCES << false << "set" << false;
    QTest::newRow("EPERM, set") << EPERM << false << "set" << false;
    QTest::newRow("EACCES, another display set") << EACCES << true << "set" << false;
    QTest::newRow("EACCES, list") << EACCES << false << "list" << false;
    QTest::newRow("EPERM, list with another display") << EPERM << true << "list" << false;
    QTest::newRow("EACCES, set by a member of the group") << EACCES << false << "set" << true;
}

void tst_Devices::permissionRefused()
{
    QFETCH(int, err);
    QFETCH(bool, otherDisplay);
    QFETCH(QString, command);
    QFETCH(bool, member);

    simhid::failOpen(1, err);
    QVERIFY(sysfs().stageId(1, "0003:00000483:00005750"));
    if (otherDisplay)
        plugDisplay(6, 6, 0x0EEF, 0x0005);

    const group *own = getgrgid(getegid());
    QVERIFY(own);
    const QString group = member ? QString::fromLocal8Bit(own->gr_name) : "absentgroup";
    const CtlResult r = runCtl(command == "set" ? QStringList{"set", "80%"} : QStringList{"list"}, sysfs(), nullptr,
                               group.toStdString());
    QCOMPARE(r.status, 3);
    const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QString("brightness-ctl: /dev/hidraw1: cannot open display 0483:5750: %1")
                           .arg(QString::fromLocal8Bit(strerror(err))));
    QCOMPARE(lines[1], "brightness-ctl: the udev rule 70-brightness.rules, which the brightness-tools package"
                       " installs, grants access to the user at the seat and to group " + group + "; "
                           + (member ? QString("with it in place (sudo apt install brightness-tools), reconnect the display")
                                     : "this user is not in group absentgroup: sudo adduser $USER absentgroup, then log in again"));

    if (command == "set") {
        QCOMPARE(r.out, QString());
        // Not every display could be set, so the refusal decides the status.
        QCOMPARE(writtenNodes(), otherDisplay ? QList<int>{6} : QList<int>{});
        if (otherDisplay)
            QCOMPARE(int(simhid::writes()[0].bytes[6]), 80);
    } else {
        QCOMPARE(r.out, QString(otherDisplay ? "/dev/hidraw1 0483:5750 no-permission\n/dev/hidraw6 0eef:0005 "
                                               "pci-0000:00:14.0-usb-0:6:1.0\n"
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
        QVERIFY(sysfs().stage(0, uevent.toStdString()));
    plugDisplay(1, 1);
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
                                              " /dev/hidraw9 (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n"
                                              "brightness-ctl: hidraw nodes present: /dev/hidraw2 (identity not readable)\n";
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
    QVERIFY(sysfs().stagePlace(3, "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/0003:046D:C31C.0001",
                               "0003:0000046D:0000C31C"));
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
    const control::Environment env = streams.env(sysfs());

    control::Scan scan = control::findDisplays(env, control::Selection());
    QCOMPARE(scan.status, 0);
    QCOMPARE(int(scan.usable.size()), 2);
    simhid::unplug(2);
    int status = control::Ok;
    for (const control::Display &d : scan.usable)
        status = control::worse(status, control::sendLevel(d, 70, env));
    QCOMPARE(status, 1);
    control::closeDisplays(&scan);

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

void tst_Devices::busPlace_data()
{
    QTest::addColumn<QString>("devicePath");  // empty: no device link
    QTest::addColumn<QString>("place");       // as udev's path_id gives it
    QTest::addColumn<QString>("formerPlace"); // as records before it hold it

    // Sysfs layouts as these machines' kernels make them.
    QTest::newRow("x86: PCI controller, port 2") << "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:0483:5750.0001"
                                                 << "pci-0000:00:14.0-usb-0:2:1.0" << "pci-0000:00:14.0-usb-0:2:1.0";
    QTest::newRow("x86: behind a hub, second interface")
        << "pci0000:00/0000:00:14.0/usb3/3-1/3-1.4/3-1.4:1.1/0003:0483:5750.0007" << "pci-0000:00:14.0-usb-0:1.4:1.1"
        << "pci-0000:00:14.0-usb-0:1.4:1.1";
    QTest::newRow("Pi 3: the SoC's own controller, behind the board's hub")
        << "platform/soc/3f980000.usb/usb1/1-1/1-1.1/1-1.1.3/1-1.1.3:1.0/0003:0483:5750.0003"
        << "platform-3f980000.usb-usb-0:1.1.3:1.0" << "platform-3f980000.usb-usb-0:1.1.3:1.0";
    QTest::newRow("Pi 4: PCI controller behind the SoC's PCIe bridge")
        << "platform/scb/fd500000.pcie/pci0000:00/0000:00:00.0/0000:01:00.0/usb1/1-1/1-1.2/1-1.2:1.0/0003:0483:5750.0001"
        << "platform-fd500000.pcie-pci-0000:01:00.0-usb-0:1.2:1.0" << "pci-0000:01:00.0-usb-0:1.2:1.0";
    QTest::newRow("CM4: the SoC's own controller")
        << "platform/soc/fe980000.usb/usb1/1-1/1-1:1.0/0003:0EEF:0005.0002" << "platform-fe980000.usb-usb-0:1:1.0"
        << "platform-fe980000.usb-usb-0:1:1.0";
    QTest::newRow("Pi 5: xHCI of the I/O chip, platform devices all the way")
        << "platform/axi/1000120000.pcie/1f00200000.usb/xhci-hcd.0/usb1/1-1/1-1:1.0/0003:0483:5750.0001"
        << "platform-xhci-hcd.0-usb-0:1:1.0" << "platform-xhci-hcd.0-usb-0:1:1.0";
    QTest::newRow("uhid, not on USB") << "virtual/misc/uhid/0003:0483:5750.0004" << "virtual-misc-uhid"
                                      << "virtual-misc-uhid";
    QTest::newRow("no device in sysfs") << QString() << QString() << QString();
}

void tst_Devices::busPlace()
{
    QFETCH(QString, devicePath);
    QFETCH(QString, place);
    QFETCH(QString, formerPlace);
    if (!devicePath.isEmpty())
        QVERIFY(sysfs().stagePlace(4, devicePath.toStdString()));
    QCOMPARE(QString::fromStdString(::busPlace(sysfs().path(), 4)), place);
    QCOMPARE(QString::fromStdString(::formerBusPlace(sysfs().path(), 4)), formerPlace);
    // Another node has nothing in sysfs.
    QCOMPARE(QString::fromStdString(::busPlace(sysfs().path(), 5)), QString());
}

void tst_Devices::remember_data()
{
    // Steps: "ctl ARGS..." runs the program (must exit 0), "plug NODE PORT
    // [VVVV PPPP]", "pi4 NODE" (on a Pi 4's port 1.2) or "unplug NODE"
    // changes the displays, "record LINE" writes the record, "places
    // PLACE..." checks the places it holds.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("status");  // of get -m, run last
    QTest::addColumn<QString>("out");

    const QString a = placeOf(2), b = placeOf(3);
    QTest::newRow("set, then get") << QStringList{"plug 1 2", "ctl set 70%"} << 0
                                   << "/dev/hidraw1 0483:5750 70 " + a + "\n";
    QTest::newRow("the last set counts") << QStringList{"plug 1 2", "ctl set 7", "ctl set 3%", "ctl set 10"} << 0
                                         << "/dev/hidraw1 0483:5750 100 " + a + "\n";
    // "status TEXT": what brightness-ctl says of the display, after its name.
    QTest::newRow("set 0 turns it off and keeps the level; on brings it back")
        << QStringList{"plug 1 2", "ctl set 60%", "ctl set 0", "status 60% remembered, off", "ctl on",
                       "status 60% remembered, on"}
        << 0 << "/dev/hidraw1 0483:5750 60 " + a + "\n";
    QTest::newRow("set 0% on a new display: off, and on starts from 100%")
        << QStringList{"plug 1 2", "ctl set 0%", "status nothing remembered, off; 'on' starts from 100%", "ctl on",
                       "status 100% remembered, on"}
        << 0 << "/dev/hidraw1 0483:5750 100 " + a + "\n";
    QTest::newRow("an old record's level 0: off with nothing remembered")
        << QStringList{"plug 1 2", "record " + a + " 0483:5750 0 4",
                       "status nothing remembered, off; 'on' starts from 100%"}
        << 1 << "/dev/hidraw1 0483:5750 - " + a + "\n";
    QTest::newRow("a step down while off leaves it off, the level kept")
        << QStringList{"plug 1 2", "ctl set 80%", "ctl off", "ctl set 10%-", "status 80% remembered, off", "ctl on",
                       "status 80% remembered, on"}
        << 0 << "/dev/hidraw1 0483:5750 80 " + a + "\n";
    QTest::newRow("--stay-off while off: only the level 'on' brings back")
        << QStringList{"plug 1 2", "ctl set 80%", "ctl off", "ctl set 2 --stay-off --fade 60000",
                       "status 20% remembered, off", "ctl set +1 --stay-off", "status 30% remembered, off", "ctl on",
                       "status 30% remembered, on"}
        << 0 << "/dev/hidraw1 0483:5750 30 " + a + "\n";
    QTest::newRow("--stay-off while on: as without it")
        << QStringList{"plug 1 2", "ctl set 80%", "ctl set 2 --stay-off", "status 20% remembered, on"}
        << 0 << "/dev/hidraw1 0483:5750 20 " + a + "\n";
    QTest::newRow("two identical displays keep their own levels")
        << QStringList{"plug 1 2", "plug 2 3", "ctl set 30% -d /dev/hidraw1", "ctl set 80% --device=/dev/hidraw2"}
        << 0 << "/dev/hidraw1 0483:5750 30 " + a + "\n/dev/hidraw2 0483:5750 80 " + b + "\n";
    QTest::newRow("chosen by bus place") << QStringList{"plug 1 2", "plug 2 3", "ctl set 40%", "ctl set 90% -d " + b}
                                         << 0 << "/dev/hidraw1 0483:5750 40 " + a + "\n/dev/hidraw2 0483:5750 90 " + b + "\n";
    QTest::newRow("back on another node number") << QStringList{"plug 1 2", "ctl set 20%", "unplug 1", "plug 6 2"} << 0
                                                 << "/dev/hidraw6 0483:5750 20 " + a + "\n";
    QTest::newRow("another port is another display") << QStringList{"plug 1 2", "ctl set 20%", "unplug 1", "plug 1 3"}
                                                     << 1 << "/dev/hidraw1 0483:5750 - " + b + "\n";
    QTest::newRow("another model on the same port")
        << QStringList{"plug 1 2", "ctl set 20%", "unplug 1", "plug 1 2 0eef 0005"} << 1
        << "/dev/hidraw1 0eef:0005 - " + a + "\n";
    QTest::newRow("nothing set") << QStringList{"plug 1 2"} << 1 << "/dev/hidraw1 0483:5750 - " + a + "\n";
    QTest::newRow("a refused set is not remembered") << QStringList{"plug 1 2", "ctl set 50%", "ctl -d /dev/hidraw4 set 9"}
                                                     << 0 << "/dev/hidraw1 0483:5750 50 " + a + "\n";
    // A Pi 4, where udev's place and the one the first release wrote differ.
    const QString pi4 = "platform-fd500000.pcie-pci-0000:01:00.0-usb-0:1.2:1.0", pi4Former = "pci-0000:01:00.0-usb-0:1.2:1.0";
    QTest::newRow("Pi 4: a level recorded under the earlier place is found")
        << QStringList{"pi4 1", "record " + pi4Former + " 0483:5750 60 1", "places " + pi4Former} << 0
        << "/dev/hidraw1 0483:5750 60 " + pi4 + "\n";
    QTest::newRow("Pi 4: ... and moves to udev's place at the next write")
        << QStringList{"pi4 1", "record " + pi4Former + " 0483:5750 60 1", "ctl set +10%", "places " + pi4} << 0
        << "/dev/hidraw1 0483:5750 70 " + pi4 + "\n";
    QTest::newRow("Pi 4: the earlier place still selects")
        << QStringList{"pi4 1", "ctl set 30% -d " + pi4Former, "places " + pi4} << 0
        << "/dev/hidraw1 0483:5750 30 " + pi4 + "\n";
}

void tst_Devices::remember()
{
    QFETCH(QStringList, steps);
    QFETCH(int, status);
    QFETCH(QString, out);

    for (const QString &step : steps) {
        QStringList words = step.split(' ');
        const QString verb = words.takeFirst();
        if (verb == "plug") {
            plugDisplay(words[0].toInt(), words[1].toInt(), words.value(2, "0483").toUShort(nullptr, 16),
                        words.value(3, "5750").toUShort(nullptr, 16));
        } else if (verb == "pi4") {
            simhid::present(words[0].toInt(), 3, 0x0483, 0x5750);
            QVERIFY(sysfs().stagePlace(words[0].toInt(), "platform/scb/fd500000.pcie/pci0000:00/0000:00:00.0/0000:01:00.0"
                                                         "/usb1/1-1/1-1.2/1-1.2:1.0/0003:0483:5750.0001"));
        } else if (verb == "unplug") {
            simhid::absent(words[0].toInt());
            QVERIFY(QFile::remove(QString::fromStdString(sysfs().path())
                                  + QString("/class/hidraw/hidraw%1/device").arg(words[0])));
        } else if (verb == "record") {
            QVERIFY(sysfs().setRecord(words.join(' ').toStdString() + '\n'));
        } else if (verb == "status") {
            const CtlResult r = runCtl({}, sysfs());
            QCOMPARE(r.status, 0);
            QCOMPARE(r.out.section(": ", 1), words.join(' ') + '\n');
        } else if (verb == "places") {
            control::Record record;
            QVERIFY(control::parseRecord(sysfs().record(), &record));
            QStringList places;
            for (const control::Entry &e : record.entries)
                places << QString::fromStdString(e.place);
            QCOMPARE(places, words);
        } else {
            const CtlResult r = runCtl(words, sysfs());
            // A display asked for that is not there fails, and changes nothing.
            QCOMPARE(r.status, step.contains("hidraw4") ? 1 : 0);
        }
    }
    const CtlResult r = runCtl({"get", "-m"}, sysfs());
    QCOMPARE(r.status, status);
    QCOMPARE(r.out, out);
    QCOMPARE(r.err.isEmpty(), status == 0);
    QCOMPARE(simhid::openDescriptors(-1), 0);
}

void tst_Devices::relative_data()
{
    QTest::addColumn<int>("remembered");  // -1: nothing
    QTest::addColumn<QStringList>("args");  // "+wasoff": the display is off
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("written");     // -1: nothing written
    QTest::addColumn<int>("recorded");    // the remembered level after; -3: the one written
    QTest::addColumn<QString>("says");    // besides the first use's note

    QTest::newRow("+10%") << 50 << QStringList{"set", "+10%"} << 0 << 60 << -3 << QString();
    QTest::newRow("10%-") << 50 << QStringList{"set", "10%-"} << 0 << 40 << -3 << QString();
    QTest::newRow("+1") << 37 << QStringList{"set", "+1"} << 0 << 47 << -3 << QString();
    QTest::newRow("1-") << 37 << QStringList{"set", "1-"} << 0 << 27 << -3 << QString();
    QTest::newRow("+1 at the top") << 95 << QStringList{"set", "+1"} << 0 << 100 << -3 << QString();
    QTest::newRow("1- to the default floor") << 12 << QStringList{"set", "1-"} << 0 << 5 << -3 << QString();
    QTest::newRow("1- with --min 20%") << 25 << QStringList{"set", "1-", "--min", "20%"} << 0 << 20 << -3 << QString();
    QTest::newRow("1- with --min 0% to 0: off, the level kept") << 5 << QStringList{"set", "1-", "--min=0%"} << 0 << 0
                                                               << 5 << QString();
    QTest::newRow("+1% from an old 0 goes to the floor") << 0 << QStringList{"set", "+1%"} << 0 << 5 << -3 << QString();
    QTest::newRow("absolute 0 ignores the floor: off, the level kept")
        << 50 << QStringList{"set", "0", "--min", "30%"} << 0 << 0 << 50 << QString();
    QTest::newRow("+10% with nothing remembered starts from 100%") << -1 << QStringList{"set", "+10%"} << 0 << 100
                                                                   << -3 << QString();
    QTest::newRow("1- with nothing remembered starts from 100%") << -1 << QStringList{"set", "1-"} << 0 << 90 << -3
                                                                 << QString();
    QTest::newRow("absolute with nothing remembered") << -1 << QStringList{"set", "4"} << 0 << 40 << -3 << QString();
    const QString dark = "brightness-ctl: /dev/hidraw3 0483:5750: off; %1 leaves it off, 80% remembered\n";
    QTest::newRow("10%- while off: nothing") << 80 << QStringList{"set", "10%-", "+wasoff"} << 0 << -1 << 80
                                             << dark.arg("10%-");
    QTest::newRow("1- while off, --min 0%: nothing") << 80 << QStringList{"set", "1-", "--min=0%", "+wasoff"} << 0
                                                     << -1 << 80 << dark.arg("1-");
    QTest::newRow("+1 while off: lit at the lowest step") << 80 << QStringList{"set", "+1", "+wasoff"} << 0 << 10
                                                          << -3 << QString();
    QTest::newRow("+1% while off: lit at the floor") << 80 << QStringList{"set", "+1%", "+wasoff"} << 0 << 5 << -3
                                                     << QString();
    QTest::newRow("60% while off: lit") << 80 << QStringList{"set", "60%", "+wasoff"} << 0 << 60 << -3 << QString();
    QTest::newRow("60% --stay-off while off: remembered only")
        << 80 << QStringList{"set", "60%", "--stay-off", "+wasoff"} << 0 << -1 << 60 << QString();
    QTest::newRow("10%- --stay-off while off: from the remembered level")
        << 80 << QStringList{"set", "10%-", "--stay-off", "+wasoff"} << 0 << -1 << 70 << QString();
    QTest::newRow("0 --stay-off while off: nothing") << 80 << QStringList{"set", "0", "--stay-off", "+wasoff"} << 0
                                                     << -1 << 80 << QString();
    QTest::newRow("+1 --stay-off with nothing remembered: from 100%")
        << -1 << QStringList{"set", "+1", "--stay-off"} << 0 << 100 << -3 << QString();
}

void tst_Devices::relative()
{
    QFETCH(int, remembered);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(int, written);
    QFETCH(int, recorded);
    QFETCH(QString, says);

    plugDisplay(3, 2);
    const bool wasOff = args.removeAll("+wasoff") > 0;
    if (remembered >= 0)
        QVERIFY(sysfs().setRecord(QString("%1 0483:5750 %2 7%3\n").arg(placeOf(2)).arg(remembered)
                                      .arg(wasOff ? " off" : "").toStdString()));
    const CtlResult r = runCtl(args, sysfs());
    QCOMPARE(r.status, status);
    QCOMPARE(writtenLevels(), written < 0 ? QList<int>{} : QList<int>{written});
    QCOMPARE(recordedLevel(sysfs(), 2), recorded != -3 ? recorded : written < 0 ? remembered : written);
    // Said once: the first step leaves a remembered level.
    const bool firstUse = remembered < 0 && args[1].contains(QRegularExpression("[+-]"));
    QCOMPARE(r.err, firstUse ? QString("brightness-ctl: /dev/hidraw3 0483:5750: nothing remembered yet; starting"
                                       " from 100%, where the window's slider starts\n")
                             : says);
    if (firstUse)
        QCOMPARE(runCtl(args, sysfs()).err, QString());
}

void tst_Devices::fade_data()
{
    QTest::addColumn<int>("remembered");  // -1: nothing
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<int>>("levels");  // written, in order

    QTest::newRow("10% to 60% in 100 ms: 5 writes 20 ms apart")
        << 10 << QStringList{"set", "60%", "--fade", "100"} << QList<int>{20, 30, 40, 50, 60};
    QTest::newRow("down 70% to 40% in 1 s: one write per percent")
        << 70 << QStringList{"set", "40%", "--fade", "1000"}
        << QList<int>{69, 68, 67, 66, 65, 64, 63, 62, 61, 60, 59, 58, 57, 56, 55,
                      54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41, 40};
    QTest::newRow("0 to 100% in 90 ms: 4 writes") << 0 << QStringList{"set", "10", "--fade", "90"}
                                                  << QList<int>{25, 50, 75, 100};
    QTest::newRow("relative, 3 writes") << 50 << QStringList{"set", "+3%", "--fade=60"} << QList<int>{51, 52, 53};
    QTest::newRow("shorter than one interval: one write") << 10 << QStringList{"set", "90%", "--fade", "19ms"}
                                                          << QList<int>{90};
    QTest::newRow("no change: one write") << 40 << QStringList{"set", "4", "--fade", "500"} << QList<int>{40};
    QTest::newRow("nothing remembered: straight to the target") << -1 << QStringList{"set", "8", "--fade", "500"}
                                                                << QList<int>{80};
    QTest::newRow("--fade 0") << 10 << QStringList{"set", "8", "--fade", "0"} << QList<int>{80};
    QTest::newRow("restore fades up from the floor") << 30 << QStringList{"restore", "--fade", "100"}
                                                     << QList<int>{10, 15, 20, 25, 30};
    // A second display, on node 1, with nothing remembered: set at once,
    // before the first sleep.
    QTest::newRow("beside a display with nothing remembered")
        << 10 << QStringList{"set", "60%", "--fade", "100", "+other"} << QList<int>{20, 30, 40, 50, 60};
    // Off and on keep the remembered level through every step.
    QTest::newRow("off fades down, keeping the level") << 40 << QStringList{"off", "--fade", "100"}
                                                      << QList<int>{32, 24, 16, 8, 0};
    QTest::newRow("on fades up from off") << 40 << QStringList{"on", "--fade", "100", "+wasoff"}
                                          << QList<int>{8, 16, 24, 32, 40};
    QTest::newRow("toggle from off fades up") << 40 << QStringList{"toggle", "--fade=100", "+wasoff"}
                                              << QList<int>{8, 16, 24, 32, 40};
}

void tst_Devices::fade()
{
    QFETCH(int, remembered);
    QFETCH(QStringList, args);
    QFETCH(QList<int>, levels);

    plugDisplay(0, 4);
    const bool other = args.removeAll("+other") > 0;
    const bool wasOff = args.removeAll("+wasoff") > 0;
    if (other)
        plugDisplay(1, 5);
    if (remembered >= 0)
        QVERIFY(sysfs().setRecord(QString("%1 0483:5750 %2 1%3\n").arg(placeOf(4)).arg(remembered)
                                      .arg(wasOff ? " off" : "").toStdString()));
    testutil::FakeClock clock;
    const long long start = clock.time;
    QList<int> writesBeforeSleep;
    clock.during = [&](int) {
        int n = 0;
        for (const simhid::WriteRecord &w : simhid::writes())
            n += w.node == 0;
        writesBeforeSleep << n;
        if (other)
            QCOMPARE(int(simhid::writes().size()) - n, 1);
    };

    const CtlResult r = runCtl(args, sysfs(), &clock);
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, QString());
    QList<int> atNode0;
    for (const simhid::WriteRecord &w : simhid::writes())
        if (w.node == 0)
            atNode0 << int(w.bytes[6]);
    QCOMPARE(atNode0, levels);
    if (other)
        QCOMPARE(recordedLevel(sysfs(), 5), 60);
    QCOMPARE(recordedLevel(sysfs(), 4), args[0] == "set" || args[0] == "restore" ? levels.last() : remembered);

    // One sleep before each write of a fade, ending at evenly spaced times
    // that reach the fade's end with the last write.
    const int steps = levels.size();
    const long long fadeNs = args.join(' ').section("fade", 1).remove('=').trimmed().toLongLong() * 1000000LL;
    if (steps == 1) {
        QVERIFY(clock.sleeps.empty());
        return;
    }
    QCOMPARE(int(clock.sleeps.size()), steps);
    for (int k = 0; k < steps; ++k) {
        QCOMPARE(clock.sleeps[std::size_t(k)] - start, fadeNs * (k + 1) / steps);
        QCOMPARE(writesBeforeSleep[k], k);
    }
    QVERIFY2(fadeNs / steps >= 20000000LL, "more than 50 writes a second");
}

void tst_Devices::newerRequestCancelsFade_data()
{
    QTest::addColumn<int>("atSleep");    // the newer request comes during this sleep of the fade
    QTest::addColumn<QString>("newer");  // its value
    QTest::addColumn<QList<int>>("levels");
    QTest::addColumn<int>("remembered");

    // The fade goes 0% to 50% in 5 steps.
    QTest::newRow("before the first write") << 1 << "70%" << QList<int>{70} << 70;
    QTest::newRow("after two writes") << 3 << "2" << QList<int>{10, 20, 20} << 20;
    QTest::newRow("relative, from the fade's last level") << 3 << "+5%" << QList<int>{10, 20, 25} << 25;
    QTest::newRow("0 before the last write: off, the level shown kept") << 5 << "0" << QList<int>{10, 20, 30, 40, 0}
                                                                       << 40;
}

void tst_Devices::newerRequestCancelsFade()
{
    QFETCH(int, atSleep);
    QFETCH(QString, newer);
    QFETCH(QList<int>, levels);
    QFETCH(int, remembered);

    plugDisplay(2, 1);
    QVERIFY(sysfs().setRecord(QString("%1 0483:5750 0 41\n").arg(placeOf(1)).toStdString()));
    testutil::FakeClock clock;
    int newerStatus = -1;
    clock.during = [&](int sleep) {
        if (sleep == atSleep)
            newerStatus = runCtl({"set", newer}, sysfs()).status;
    };
    const CtlResult r = runCtl({"set", "50%", "--fade", "100"}, sysfs(), &clock);
    QCOMPARE(r.status, 0);
    QCOMPARE(newerStatus, 0);
    QCOMPARE(writtenLevels(), levels);
    QCOMPARE(recordedLevel(sysfs(), 1), remembered);
    // The fade woke from that sleep, saw the newer request and stopped.
    QCOMPARE(int(clock.sleeps.size()), atSleep);
}

void tst_Devices::signalStopsFade_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("atSleep");
    QTest::addColumn<int>("remembered");
    QTest::addColumn<QString>("command");

    // The fade goes 20% to 80% in 6 steps.
    QTest::newRow("SIGINT before any write") << SIGINT << 1 << 20 << "set 80%";
    QTest::newRow("SIGTERM after three writes") << SIGTERM << 4 << 50 << "set 80%";
    QTest::newRow("SIGINT before the last write") << SIGINT << 6 << 70 << "set 80%";
    // 20% to off in 6 steps: a person's lit level where it stopped, never
    // a dim that brightness-idle would take for its own and light again.
    QTest::newRow("a fade to off stopped: lit where it stopped, a person's") << SIGTERM << 4 << 10 << "off";
}

void tst_Devices::signalStopsFade()
{
    QFETCH(int, signal);
    QFETCH(int, atSleep);
    QFETCH(int, remembered);
    QFETCH(QString, command);

    plugDisplay(5, 3);
    QVERIFY(sysfs().setRecord(QString("%1 0483:5750 20 9\n").arg(placeOf(3)).toStdString()));
    testutil::FakeClock clock;
    clock.during = [&](int sleep) {
        if (sleep == atSleep)
            std::raise(signal);
    };
    struct sigaction before {};
    sigaction(signal, nullptr, &before);
    const CtlResult r = runCtl(command.split(' ') + QStringList{"--fade", "120"}, sysfs(), &clock);
    QCOMPARE(r.status, 128 + signal);
    QCOMPARE(int(simhid::writes().size()), atSleep - 1);
    QCOMPARE(recordedLevel(sysfs(), 3), remembered);
    control::Record record;
    QVERIFY(control::parseRecord(sysfs().record(), &record));
    QCOMPARE(record.entries.size(), std::size_t(1));
    QCOMPARE(int(control::stateOf(&record.entries[0]).power), int(control::Power::On));
    QCOMPARE(r.err, atSleep > 1 ? QString("brightness-ctl: /dev/hidraw5: fade stopped at %1%\n").arg(remembered)
                                : QString());
    // The handler the program found is back.
    struct sigaction after {};
    sigaction(signal, nullptr, &after);
    QVERIFY(after.sa_handler == before.sa_handler);
}

void tst_Devices::restore_data()
{
    QTest::addColumn<QByteArray>("record");     // %1: the display's place
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("plugAtSleep");       // 0: there from the start; -1: never
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<int>>("levels");

    const QByteArray at30 = "%1 0483:5750 30 2\n";
    QTest::newRow("remembered level") << at30 << QStringList{"restore"} << 0 << 0 << QList<int>{30};
    QTest::newRow("raised to the default floor") << QByteArray("%1 0483:5750 2 2\n") << QStringList{"restore"} << 0 << 0
                                                 << QList<int>{5};
    QTest::newRow("off: lit") << QByteArray("%1 0483:5750 30 2 off\n") << QStringList{"restore"} << 0 << 0
                              << QList<int>{30};
    QTest::newRow("an old level 0 is nothing remembered") << QByteArray("%1 0483:5750 0 2\n") << QStringList{"restore"}
                                                          << 0 << 0 << QList<int>{};
    QTest::newRow("raised to --min") << at30 << QStringList{"restore", "--min", "45%"} << 0 << 0 << QList<int>{45};
    QTest::newRow("by node") << at30 << QStringList{"restore", "-d", "/dev/hidraw7"} << 0 << 0 << QList<int>{30};
    QTest::newRow("no record file") << QByteArray() << QStringList{"restore"} << 0 << 0 << QList<int>{};
    QTest::newRow("record of another display") << QByteArray("usb-0:9:1.0 0483:5750 30 2\n") << QStringList{"restore"}
                                               << 0 << 0 << QList<int>{};
    QTest::newRow("display appears within the window") << at30 << QStringList{"restore", "-d", "/dev/hidraw7"} << 3 << 0
                                                       << QList<int>{30};
    QTest::newRow("display never appears") << at30 << QStringList{"restore", "-d", "/dev/hidraw7"} << -1 << 1
                                           << QList<int>{};
    QTest::newRow("malformed record") << QByteArray("%1 0483:5750 thirty 2\n") << QStringList{"restore"} << 0 << 1
                                      << QList<int>{};
}

void tst_Devices::restore()
{
    QFETCH(QByteArray, record);
    QFETCH(QStringList, args);
    QFETCH(int, plugAtSleep);
    QFETCH(int, status);
    QFETCH(QList<int>, levels);

    if (!record.isEmpty())
        QVERIFY(sysfs().setRecord(QString::fromUtf8(record).arg(placeOf(1)).toStdString()));
    if (plugAtSleep == 0)
        plugDisplay(7, 1);
    testutil::FakeClock clock;
    const long long start = clock.time;
    clock.during = [&](int sleep) {
        if (sleep == plugAtSleep)
            plugDisplay(7, 1);
    };
    const CtlResult r = runCtl(args, sysfs(), &clock);
    QCOMPARE(r.status, status);
    QCOMPARE(writtenLevels(), levels);
    if (!levels.isEmpty())
        QCOMPARE(recordedLevel(sysfs(), 1), levels.last());
    if (plugAtSleep > 0)
        QCOMPARE(int(clock.sleeps.size()), plugAtSleep);
    if (plugAtSleep < 0) {
        // Tried every quarter second for five seconds, then said why once.
        QCOMPARE(int(clock.sleeps.size()), ctl::restoreWindowMs / ctl::restoreRetryMs);
        QCOMPARE(clock.time - start, ctl::restoreWindowMs * 1000000LL);
        QCOMPARE(r.err, QString("brightness-ctl: no display found on /dev/hidraw7\n"));
    } else if (status == 0) {
        QCOMPARE(r.err, QString());
    } else {
        QVERIFY2(r.err.startsWith("brightness-ctl: cannot restore: ") && r.err.contains("is not a record file"),
                 qPrintable(r.err));
    }
}

void tst_Devices::recordNotWritable_data()
{
    QTest::addColumn<QString>("blocker");  // what stands at the record's name
    QTest::addColumn<QString>("why");

    // An empty one gives way (corruptRecord); this one holds something.
    QTest::newRow("a directory that is not empty") << "dir" << "is not a record file";
    QTest::newRow("a link") << "link" << "cannot read";
    QTest::newRow("no state directory") << "nodir" << "cannot open";
}

void tst_Devices::recordNotWritable()
{
    QFETCH(QString, blocker);
    QFETCH(QString, why);

    plugDisplay(1, 2);
    CtlStreams streams;
    control::Environment env = streams.env(sysfs());
    const QString record = QString::fromStdString(sysfs().recordPath());
    if (blocker == "dir")
        QVERIFY(QDir().mkpath(record + "/kept"));
    else if (blocker == "link")
        QVERIFY(QFile::link("/etc/hostname", record));
    else
        env.stateDir += "/missing";

    std::vector<QByteArray> storage{"brightness-ctl", "set", "60%"};
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    QCOMPARE(ctl::run(int(argv.size()), argv.data(), env), 0);
    // Set all the same, and said that it is not remembered, and why.
    QCOMPARE(writtenLevels(), QList<int>{60});
    const QString err = streams.errText();
    QVERIFY2(err.startsWith("brightness-ctl: level set but not remembered: ") && err.contains(why)
                 && err.count('\n') == 1,
             qPrintable(err));
    // A relative step has nothing to start from.
    argv[2] = const_cast<char *>("+10%");
    CtlStreams again;
    env.err = &again.err;
    QCOMPARE(ctl::run(int(argv.size()), argv.data(), env), 1);
    QCOMPARE(writtenLevels(), QList<int>{60});
    QVERIFY2(again.errText().contains("no remembered level to change by +10%"), qPrintable(again.errText()));
}

void tst_Devices::recordLock_data()
{
    QTest::addColumn<bool>("asNobody");      // else root, with the lock held by another writer
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<int>>("levels");  // written, failed writes included
    QTest::addColumn<QString>("why");        // %1: the state directory

    // The display takes no report before the third retry.
    QTest::newRow("lock held: a slow display's restore waits for it once")
        << false << QStringList{"restore"} << QList<int>{40, 40, 40, 40} << "%1 is held by another process";
    // The directory is 2771: nobody cannot open it, so cannot lock it.
    const QString refused = "cannot write in %1: Permission denied; this user is not in group absentgroup:"
                            " sudo adduser $USER absentgroup, then log in again";
    QTest::newRow("outside the group: a step reads the record") << true << QStringList{"set", "+10%"}
                                                                << QList<int>{50} << refused;
    QTest::newRow("outside the group: an absolute set") << true << QStringList{"set", "70%"} << QList<int>{70}
                                                         << refused;
    QTest::newRow("outside the group: restore") << true << QStringList{"restore"} << QList<int>{40} << refused;
}

void tst_Devices::recordLock()
{
    QFETCH(bool, asNobody);
    QFETCH(QStringList, args);
    QFETCH(QList<int>, levels);
    QFETCH(QString, why);

    if (geteuid() != 0)
        QSKIP("needs root: to hold the lock as another writer, or to act as nobody");
    plugDisplay(1, 2);
    const std::string record = placeOf(2).toStdString() + " 0483:5750 40 3\n";
    QVERIFY(sysfs().setRecord(record));
    const std::string dir = sysfs().stateDir();
    why = why.arg(QString::fromStdString(dir));
    // The writers' group: one that this process (root, and nobody by
    // seteuid) is not in.
    QVERIFY(chown(dir.c_str(), 0, 54321) == 0 && chmod(dir.c_str(), 02771) == 0);
    const int held = asNobody ? -1 : open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!asNobody) {
        QVERIFY(held >= 0 && flock(held, LOCK_EX) == 0);
        simhid::failWrites(1, EPIPE);
    }
    testutil::FakeClock clock;
    clock.during = [](int sleep) {
        if (sleep == 3)
            simhid::failWrites(1, 0);
    };
    if (asNobody && seteuid(65534) != 0)
        QSKIP(qPrintable(QString("cannot act as nobody: ") + std::strerror(errno)));
    const int lockable = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int openErr = errno;
    QElapsedTimer elapsed;
    elapsed.start();
    const CtlResult r = runCtl(args, sysfs(), &clock, "absentgroup");
    const qint64 ms = elapsed.elapsed();
    if (asNobody && seteuid(0) != 0)
        qFatal("cannot return to root");
    if (lockable >= 0)
        close(lockable);
    if (held >= 0)
        close(held);

    QCOMPARE(lockable < 0 ? openErr : 0, asNobody ? EACCES : 0);
    QCOMPARE(r.status, 0);
    QCOMPARE(writtenLevels(), levels);
    QCOMPARE(r.err, "brightness-ctl: level set but not remembered: " + why + '\n');
    QCOMPARE(sysfs().record(), record);
    // One wait for the lock at most, not one per try.
    QVERIFY2(ms < 2 * control::Store::defaultLockWaitMs, qPrintable(QString("%1 ms").arg(ms)));
}

void tst_Devices::corruptRecord_data()
{
    QTest::addColumn<QByteArray>("record");  // %1: the display's place
    QTest::addColumn<QString>("blocker");    // "dir": a directory instead; "unreadable": no read access
    QTest::addColumn<QString>("why");        // %1: the record's path; empty: a good record

    // Fixed, so that a failure can be replayed.
    QByteArray noise;
    for (quint32 x = 2463534242u, i = 0; i < 200; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        noise += char(x);
    }
    const QString notRecord = "%1 is not a record file";
    QTest::newRow("empty") << QByteArray() << QString() << QString();
    QTest::newRow("truncated") << QByteArray("%1 0483:5750 40 3\n%1 0483:57") << QString() << notRecord;
    QTest::newRow("random bytes") << noise << QString() << notRecord;
    QTest::newRow("level 999") << QByteArray("%1 0483:5750 999 3\n") << QString() << notRecord;
    QTest::newRow("level -5") << QByteArray("%1 0483:5750 -5 3\n") << QString() << notRecord;
    QTest::newRow("level with trailing text") << QByteArray("%1 0483:5750 40% 3\n") << QString() << notRecord;
    QTest::newRow("line with trailing text") << QByteArray("%1 0483:5750 40 3 x\n") << QString() << notRecord;
    QTest::newRow("a directory") << QByteArray() << "dir" << notRecord;
    QTest::newRow("unreadable") << QByteArray("%1 0483:5750 40 3\n") << "unreadable"
                                << "cannot read %1: Permission denied";
    QTest::newRow("another display's identity")
        << ("%1 0eef:0005 40 3\n" + placeOf(9).toUtf8() + " 0483:5750 70 4\n") << QString() << QString();
}

void tst_Devices::corruptRecord()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, blocker);
    QFETCH(QString, why);

    plugDisplay(1, 2);
    const QString path = QString::fromStdString(sysfs().recordPath());
    if (!why.isEmpty())
        why = why.arg(path);
    if (blocker == "dir")
        QVERIFY(QDir().mkpath(path));
    else
        QVERIFY(sysfs().setRecord(record.replace("%1", placeOf(2).toUtf8()).toStdString()));
    // Permission bits do not stop root: the commands then run as nobody,
    // who may use the trees but not read the record.
    const bool asNobody = blocker == "unreadable" && geteuid() == 0;
    if (blocker == "unreadable")
        QVERIFY(QFile::setPermissions(path, {}));
    if (asNobody) {
        if (seteuid(65534) != 0 || seteuid(0) != 0)
            QSKIP(qPrintable(QString("cannot act as another user to make a file unreadable: ") + std::strerror(errno)));
        QVERIFY(QFile::setPermissions(QString::fromStdString(sysfs().path()), QFile::Permissions(0x7755)));
        QVERIFY(QFile::setPermissions(QFileInfo(path).path(), QFile::Permissions(0x7777)));
    }
    auto run = [&](const QStringList &args) {
        if (asNobody && seteuid(65534) != 0)
            qFatal("cannot act as nobody");
        testutil::FakeClock clock;
        const CtlResult r = runCtl(args, sysfs(), &clock);
        if (asNobody && seteuid(0) != 0)
            qFatal("cannot return to root");
        return r;
    };

    const QString name = "brightness-ctl: /dev/hidraw1 0483:5750: ";
    const QString noLevel = name + "no remembered level to change by +10%%1; set an absolute value such as 50% first\n";
    const QString firstUse = name + "nothing remembered yet; starting from 100%, where the window's slider starts\n";
    const struct {
        QStringList args;
        int status;
        QString err;
    } expected[] = {
        {{"get"}, 1, why.isEmpty() ? name + "no level remembered; a step or 'on' starts from 100%\n"
                                   : "brightness-ctl: nothing remembered: " + why + '\n'},
        {{"restore"}, why.isEmpty() ? 0 : 1, why.isEmpty() ? QString() : "brightness-ctl: cannot restore: " + why + '\n'},
        // A record that cannot be read is not one that holds nothing: no
        // step from a guess.
        {{"set", "+10%"}, why.isEmpty() ? 0 : 1, why.isEmpty() ? firstUse : noLevel.arg(" (" + why + ')')},
    };
    for (const auto &e : expected) {
        const CtlResult r = run(e.args);
        QCOMPARE(r.status, e.status);
        QCOMPARE(r.err, e.err);
    }
    // None of them wrote a level, nor changed the record, except a first
    // step where the record holds nothing for the display.
    QCOMPARE(writtenLevels(), why.isEmpty() ? QList<int>{100} : QList<int>{});
    if (blocker != "dir" && !why.isEmpty())
        QCOMPARE(QByteArray::fromStdString(sysfs().record()), record);
    simhid::clearRecords();

    // An absolute level is a fresh truth: it replaces what could not be read
    // and keeps every good entry.
    const CtlResult r = run({"set", "60%"});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, why.isEmpty() ? QString() : "brightness-ctl: " + why + "; replaced by a new record\n");
    QCOMPARE(writtenLevels(), QList<int>{60});
    QCOMPARE(recordedLevel(sysfs(), 2), 60);
    if (record.contains("0eef:0005")) {
        QCOMPARE(recordedLevel(sysfs(), 2, "0eef:0005"), 40);
        QCOMPARE(recordedLevel(sysfs(), 9), 70);
    }
    QCOMPARE(run({"get", "-m"}).out, "/dev/hidraw1 0483:5750 60 " + placeOf(2) + '\n');
}

QTEST_GUILESS_MAIN(tst_Devices)
#include "tst_devices.moc"
