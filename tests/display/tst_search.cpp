#include <QtTest>

#include <QLabel>
#include <QSlider>
#include <QSocketNotifier>

#include <sys/resource.h>

#include "display/device.h"
#include "window/mainwindow.h"
#include "simhid.h"
#include "hotplug/thread.h"
#include "../support/testutil.h"

// The device search against the simulated display: commands run, nodes
// opened and closed, the handle kept, the status line and the debug lines.
class tst_Search : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testutil::keepOtherThreadsOffTheTestLog(); }
    void init();
    void noNodeAtAll();
    void keyboardThenDisplay();
    void identities_data();
    void identities();
    void identityRequestFails();
    void openReturnsZero();
    void tickWithoutEventDoesNothing();
    void rescanReplacesHandle();
    void unpluggedThenSearched();
    void accessCommandOnlyWhereItCanHelp_data();
    void accessCommandOnlyWhereItCanHelp();
    void refusedDisplaySearchedAgain_data();
    void refusedDisplaySearchedAgain();
    void accessCommandFailsOrIsSlow_data();
    void accessCommandFailsOrIsSlow();
    void noDescriptorLeak();
    void accessCommandInheritsNoDescriptor();
    void handleDoesNotWakeTheLoop();
    void counterCountsCallsAndWraps();

private:
    static void rescan(MainWindow &w)
    {
        MY_flag.store(1);
        QVERIFY(QMetaObject::invokeMethod(&w, "on_ConnectUSB"));
    }
    static QString status(MainWindow &w) { return w.findChild<QLabel *>("label_2")->text(); }
    static int liveFd(int node)
    {
        int fd = -1;
        for (const simhid::OpenRecord &r : simhid::opens())
            if (r.node == node && r.result > 0)
                fd = r.result;
        return fd;
    }

    testutil::StandInSudo sudo{SIMHID_SUDO_DIR};
    const QString found = QString::fromUtf8("设备已连接");
    const QString notFound = QString::fromUtf8("未找到可连接设备");
};

static int counterOfFailedOpen();

void tst_Search::init()
{
    simhid::reset();
    sudo.clear();
}

void tst_Search::noNodeAtAll()
{
    // Whatever ran before: the counter goes on from where it stands (that
    // it starts at 1 in a fresh process, app.program checks) and the handle
    // stays what it was.
    QSocketNotifier *const handle = m_sn;
    const int start = counterOfFailedOpen() + 1;
    testutil::MessageCapture log;
    MainWindow w;
    // Nothing to open up, and nothing for the auth log.
    QCOMPARE(sudo.commands(), QStringList());
    QStringList expected;
    for (int call = 0; call < 10; ++call)
        expected << QString::fromUtf8("   未找到可连接设备%1").arg((start + call) % 65536)
                 << "[WARN]rcMouseHa   ndler::open-> Cant open!";
    QCOMPARE(log.debugLines(), expected);
    for (const testutil::Message &m : log.messages()) {
        QCOMPARE(m.category, QByteArray("default"));
        QVERIFY(!m.hasSource);
    }
    QCOMPARE(status(w), notFound);
    QCOMPARE(m_sn, handle);
    QCOMPARE(fd, -1);
    QCOMPARE(simhid::opens().size(), size_t(11));
    // Nothing to send to: the raw send is held back too.
    char block[64] = {};
    w.HidSendDate(block);
    QVERIFY(simhid::writes().empty());
}

void tst_Search::keyboardThenDisplay()
{
    simhid::present(0, 3, 0x046d, 0xc31c);
    simhid::present(1, 3, 0x0483, 0x5750);
    simhid::present(2, 3, 0x0483, 0x5750);
    testutil::MessageCapture log;
    MainWindow w;

    // sysfs names node 0 a keyboard: it is not opened up to everyone.
    QCOMPARE(sudo.commands(), QStringList{"chmod 777 /dev/hidraw1"});
    const int displayFd = liveFd(1);
    QVERIFY(displayFd > 0);
    QCOMPARE(log.debugLines(), (QStringList{
        "dev id read error!!!!!!!!!\n",
        "hidrawId\n",
        QString("fd:%1").arg(displayFd),
        "vendor is 0483\n",
        "product is 5750\n",
        "product:3",
        "hidraw:1",
    }));
    QCOMPARE(status(w), found);
    QVERIFY(m_sn);
    QCOMPARE(int(m_sn->socket()), displayFd);
    QCOMPARE(m_sn->type(), QSocketNotifier::Read);
    QVERIFY(!m_sn->parent());
    // The keyboard was closed; the display stays open; node 2 was never touched.
    const auto closes = simhid::closes();
    QCOMPARE(closes.size(), size_t(1));
    QCOMPARE(closes[0].node, 0);
    QCOMPARE(simhid::openDescriptors(1), 1);
    QCOMPARE(simhid::openDescriptors(2), 0);
    QCOMPARE(simhid::identityRequests(2), 0);
}

void tst_Search::identities_data()
{
    QTest::addColumn<uint>("bus");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<int>("accepted");

    QTest::newRow("0eef:0005") << 3u << 0x0eef << 0x0005 << 1;
    QTest::newRow("0483:5750") << 3u << 0x0483 << 0x5750 << 1;
    QTest::newRow("0484:5750") << 3u << 0x0484 << 0x5750 << 1;
    QTest::newRow("0483:5750 on bluetooth") << 5u << 0x0483 << 0x5750 << 1;
    QTest::newRow("0485:5750") << 3u << 0x0485 << 0x5750 << 0;
    QTest::newRow("0483:5751") << 3u << 0x0483 << 0x5751 << 0;
    QTest::newRow("0483:0005") << 3u << 0x0483 << 0x0005 << 0;
    QTest::newRow("0eef:5750") << 3u << 0x0eef << 0x5750 << 0;
    QTest::newRow("0eef:0006") << 3u << 0x0eef << 0x0006 << 0;
    QTest::newRow("0000:0000") << 3u << 0x0000 << 0x0000 << 0;
    QTest::newRow("ffff:ffff") << 3u << 0xffff << 0xffff << 0;
}

void tst_Search::identities()
{
    QFETCH(uint, bus);
    QFETCH(int, vendor);
    QFETCH(int, product);
    QFETCH(int, accepted);

    simhid::present(4, bus, ushort(vendor), ushort(product));
    testutil::MessageCapture log;
    QCOMPARE(penHidraw("/dev/hidraw4"), accepted);
    QCOMPARE(ushort(hidrawId.vendor), ushort(vendor));
    QCOMPARE(ushort(hidrawId.product), ushort(product));
    QCOMPARE(hidrawId.bustype, bus);
    const int opened = liveFd(4);
    if (accepted) {
        QCOMPARE(int(m_sn->socket()), opened);
        QCOMPARE(log.debugLines().last(), QString("product:%1").arg(bus));
        QCOMPARE(log.debugLines().at(2), QString("vendor is %1\n").arg(vendor, 4, 16, QChar('0')));
    } else {
        QCOMPARE(log.debugLines(), QStringList{"dev id read error!!!!!!!!!\n"});
        QCOMPARE(simhid::closes().size(), size_t(1));
        QCOMPARE(simhid::closes()[0].fd, opened);
    }
}

void tst_Search::identityRequestFails()
{
    // hidrawId still holds an accepted identity from an earlier node: a node
    // that cannot be identified must not inherit it.
    simhid::present(5, 3, 0x0483, 0x5750);
    QCOMPARE(penHidraw("/dev/hidraw5"), 1);
    QSocketNotifier *handle = m_sn;
    simhid::failIdentity(6, EIO);
    testutil::MessageCapture log;
    QCOMPARE(penHidraw("/dev/hidraw6"), 0);
    QCOMPARE(log.debugLines(), (QStringList{"ioctl error!!!!!", "dev id read error!!!!!!!!!\n"}));
    QCOMPARE(m_sn, handle);
    QCOMPARE(simhid::openDescriptors(6), 0);
}

void tst_Search::openReturnsZero()
{
    simhid::openReturnsZero(3);
    testutil::MessageCapture log;
    QSocketNotifier *handle = m_sn;
    QCOMPARE(penHidraw("/dev/hidraw3"), 0);
    QCOMPARE(log.debugLines().size(), 2);
    QVERIFY(log.debugLines().at(0).startsWith(QString::fromUtf8("   未找到可连接设备")));
    QCOMPARE(log.debugLines().at(1), QString("[WARN]rcMouseHa   ndler::open-> Cant open!"));
    QCOMPARE(fd, 0);
    QCOMPARE(m_sn, handle);
    QCOMPARE(simhid::identityRequests(3), 0);
}

void tst_Search::tickWithoutEventDoesNothing()
{
    MainWindow w;
    testutil::QuietMonitors quiet;
    QVERIFY(quiet.ok);
    sudo.clear();
    simhid::clearRecords();
    w.findChild<QLabel *>("label_2")->setText("unchanged");
    testutil::MessageCapture log;
    MY_flag.store(0);
    QVERIFY(QMetaObject::invokeMethod(&w, "on_ConnectUSB"));
    QVERIFY(sudo.commands().isEmpty());
    QVERIFY(simhid::opens().empty());
    QVERIFY(log.debugLines().isEmpty());
    QCOMPARE(status(w), QString("unchanged"));
    // The flag is taken: a second tick after one event searches no more.
    rescan(w);
    QCOMPARE(simhid::opens().size(), size_t(10));
    QVERIFY(QMetaObject::invokeMethod(&w, "on_ConnectUSB"));
    QCOMPARE(simhid::opens().size(), size_t(10));
}

void tst_Search::rescanReplacesHandle()
{
    simhid::present(2, 3, 0x0eef, 0x0005);
    MainWindow w;
    const int first = int(m_sn->socket());
    QCOMPARE(first, liveFd(2));
    simhid::clearRecords();
    sudo.clear();

    rescan(w);
    const int second = liveFd(2);
    QVERIFY(second > 0);
    QCOMPARE(int(m_sn->socket()), second);
    const auto closes = simhid::closes();
    QCOMPARE(closes.size(), size_t(1));
    QCOMPARE(closes[0].fd, first);
    QCOMPARE(simhid::openDescriptors(2), 1);
    QCOMPARE(sudo.commands(), QStringList{"chmod 777 /dev/hidraw2"});
    QCOMPARE(status(w), found);
}

void tst_Search::unpluggedThenSearched()
{
    simhid::present(1, 3, 0x0484, 0x5750);
    MainWindow w;
    const int held = int(m_sn->socket());
    simhid::unplug(1);
    simhid::clearRecords();

    rescan(w);
    QCOMPARE(status(w), notFound);
    // The handle still holds the removed node, and the window still counts
    // as connected: the raw send tries and fails.
    QCOMPARE(int(m_sn->socket()), held);
    QVERIFY(simhid::closes().empty());
    char block[64] = {0x04};
    testutil::MessageCapture log;
    w.HidSendDate(block);
    QCOMPARE(simhid::writes().size(), size_t(1));
    QCOMPARE(simhid::writes()[0].err, ENODEV);
    QVERIFY(log.debugLines().isEmpty());

    simhid::plug(1);
    rescan(w);
    QCOMPARE(status(w), found);
    QVERIFY(int(m_sn->socket()) != held || simhid::closes().size() == 1);
    QCOMPARE(simhid::closes().size(), size_t(1));
    QCOMPARE(simhid::closes()[0].fd, held);
}

void tst_Search::accessCommandOnlyWhereItCanHelp_data()
{
    QTest::addColumn<QStringList>("nodes");  // "N display|keyboard [accessible] [unlisted] [refused] [unplugged]"
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<bool>("connected");

    QTest::newRow("keyboard named at 0, display at 1")
        << QStringList{"0 keyboard", "1 display"} << QStringList{"chmod 777 /dev/hidraw1"} << true;
    QTest::newRow("display accessible already") << QStringList{"0 display accessible"} << QStringList() << true;
    QTest::newRow("keyboard and display accessible")
        << QStringList{"0 keyboard accessible", "1 display accessible"} << QStringList() << true;
    QTest::newRow("display without sysfs entry")
        << QStringList{"0 display unlisted"} << QStringList{"chmod 777 /dev/hidraw0"} << true;
    QTest::newRow("keyboard without sysfs entry") << QStringList{"0 keyboard unlisted", "1 display"}
                                                  << QStringList{"chmod 777 /dev/hidraw0", "chmod 777 /dev/hidraw1"}
                                                  << true;
    QTest::newRow("display refusing access") << QStringList{"0 display refused", "1 keyboard"}
                                             << QStringList{"chmod 777 /dev/hidraw0"} << false;
    QTest::newRow("no node at all") << QStringList() << QStringList() << false;
    // Absent nodes get no command: a device plugged in meanwhile takes the
    // lowest free number and would be opened up to everyone.
    QTest::newRow("display at 6, nothing below")
        << QStringList{"6 display"} << QStringList{"chmod 777 /dev/hidraw6"} << true;
    QTest::newRow("display at 2, unplugged") << QStringList{"2 display unplugged"} << QStringList() << false;
    QTest::newRow("unlisted keyboard at 3, display at 8")
        << QStringList{"3 keyboard unlisted", "8 display"}
        << QStringList{"chmod 777 /dev/hidraw3", "chmod 777 /dev/hidraw8"} << true;
}

void tst_Search::accessCommandOnlyWhereItCanHelp()
{
    QFETCH(QStringList, nodes);
    QFETCH(QStringList, commands);
    QFETCH(bool, connected);
    for (const QString &row : nodes) {
        const QStringList f = row.split(' ');
        const int node = f[0].toInt();
        if (f[1] == "display")
            simhid::present(node, 3, 0x0483, 0x5750);
        else
            simhid::present(node, 3, 0x046d, 0xc31c);
        if (f.contains("accessible"))
            simhid::grantAccess(node);
        if (f.contains("unlisted"))
            simhid::listInSysfs(node, false);
        if (f.contains("refused"))
            simhid::failOpen(node, EACCES);
        if (f.contains("unplugged"))
            simhid::unplug(node);
    }
    MainWindow w;
    QCOMPARE(sudo.commands(), commands);
    QCOMPARE(status(w), connected ? found : notFound);
}

void tst_Search::refusedDisplaySearchedAgain_data()
{
    QTest::addColumn<bool>("display");          // else a keyboard
    QTest::addColumn<int>("grantedAtTick");     // 0: never
    QTest::addColumn<QString>("searchesPerTick");
    QTest::addColumn<bool>("connected");

    // udev grants access a little after the kernel's last event.
    QTest::newRow("display granted by the next tick") << true << 1 << "1 0 0" << true;
    QTest::newRow("display granted by the third tick") << true << 3 << "1 1 1 0" << true;
    QTest::newRow("display never granted") << true << 0 << "1 1 1 0 0" << false;
    QTest::newRow("keyboard refusing access") << false << 0 << "0 0" << false;
}

void tst_Search::refusedDisplaySearchedAgain()
{
    QFETCH(bool, display);
    QFETCH(int, grantedAtTick);
    QFETCH(QString, searchesPerTick);
    QFETCH(bool, connected);

    simhid::present(1, 3, display ? 0x0483 : 0x046d, display ? 0x5750 : 0xc31c);
    simhid::grantAccess(1, 600000);
    MainWindow w;
    testutil::QuietMonitors quiet;
    QVERIFY(quiet.ok);
    rescan(w);  // the kernel's last event
    QCOMPARE(status(w), notFound);
    const QStringList expected = searchesPerTick.split(' ');
    for (int tick = 1; tick <= expected.size(); ++tick) {
        if (tick == grantedAtTick)
            simhid::grantAccess(1);
        simhid::clearRecords();
        QVERIFY(QMetaObject::invokeMethod(&w, "on_ConnectUSB"));
        int searches = 0;
        for (const simhid::OpenRecord &r : simhid::opens())
            searches += r.node == 0;
        QVERIFY2(searches == expected[tick - 1].toInt(), qPrintable(QString("tick %1: %2").arg(tick).arg(searches)));
    }
    QCOMPARE(status(w), connected ? found : notFound);
}

void tst_Search::accessCommandFailsOrIsSlow_data()
{
    QTest::addColumn<QByteArray>("exitCode");
    QTest::addColumn<QByteArray>("delay");
    QTest::newRow("sudo fails") << QByteArray("1") << QByteArray();
    QTest::newRow("sudo slow") << QByteArray("0") << QByteArray("0.05");
}

void tst_Search::accessCommandFailsOrIsSlow()
{
    QFETCH(QByteArray, exitCode);
    QFETCH(QByteArray, delay);
    qputenv("SIMSUDO_EXIT", exitCode);
    if (!delay.isEmpty())
        qputenv("SIMSUDO_DELAY", delay);
    simhid::present(3, 3, 0x0483, 0x5750);
    MainWindow w;
    qunsetenv("SIMSUDO_EXIT");
    qunsetenv("SIMSUDO_DELAY");
    // Only the open decides.
    QCOMPARE(sudo.commands(), QStringList{"chmod 777 /dev/hidraw3"});
    QCOMPARE(status(w), found);
}

static int openFileDescriptors()
{
    return QDir("/proc/self/fd").entryList(QDir::System | QDir::NoDotAndDotDot).size();
}

void tst_Search::noDescriptorLeak()
{
    simhid::present(0, 3, 0x0483, 0x5750);
    MainWindow w;
    rescan(w);
    const int after1 = openFileDescriptors();
    for (int i = 0; i < 200; ++i)
        rescan(w);
    QCOMPARE(openFileDescriptors(), after1);
    QCOMPARE(simhid::openDescriptors(-1), 1);
    QCOMPARE(simhid::closes().size(), size_t(201));
}

void tst_Search::accessCommandInheritsNoDescriptor()
{
    // The held display and the monitor's socket are both open while the
    // next search runs the command for a display that refuses access.
    simhid::present(1, 3, 0x0483, 0x5750);
    simhid::present(0, 3, 0x0483, 0x5750);
    simhid::failOpen(0, EACCES);
    MainWindow w;
    QVERIFY(m_sn);
    QTRY_VERIFY(!testutil::ueventSockets().empty());
    QTemporaryDir dir;
    qputenv("SIMSUDO_FDS", dir.filePath("fds").toLocal8Bit());
    rescan(w);
    qunsetenv("SIMSUDO_FDS");
    QFile fds(dir.filePath("fds"));
    QVERIFY(fds.open(QFile::ReadOnly));
    const QString inherited = QString::fromLocal8Bit(fds.readAll());
    QVERIFY2(!inherited.contains("socket:"), qPrintable(inherited));
}

// The calling thread's, the event loop's: the monitor threads' work on
// uevents from elsewhere does not count.
static double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void tst_Search::handleDoesNotWakeTheLoop()
{
    // A display that answers every report, then goes away: the held
    // descriptor is readable, then hung up. Nothing reads it in normal
    // operation, so it must not keep the event loop busy.
    simhid::present(1, 3, 0x0483, 0x5750);
    simhid::setAutoAck(1, true);
    MainWindow w;
    // Searches after uevents from elsewhere would count as busy.
    QVERIFY(testutil::searchTick(&w));
    testutil::searchTick(&w)->stop();
    auto *slider = w.findChild<QSlider *>("horizontalSlider");
    for (int v = 0; v < 10; ++v)
        slider->setValue(v);
    double before = cpuSeconds();
    QTest::qWait(500);
    QVERIFY2(cpuSeconds() - before < 0.25, "event loop busy with an unread acknowledgement");

    simhid::unplug(1);
    before = cpuSeconds();
    QTest::qWait(500);
    QVERIFY2(cpuSeconds() - before < 0.25, "event loop busy with a removed node");
}

static int counterOfFailedOpen()
{
    testutil::MessageCapture log;
    penHidraw("/dev/hidraw9");
    const QString prefix = QString::fromUtf8("   未找到可连接设备");
    const QStringList lines = log.debugLines();
    if (lines.isEmpty() || !lines.first().startsWith(prefix))
        return -1;
    return lines.first().mid(prefix.size()).toInt();
}

void tst_Search::counterCountsCallsAndWraps()
{
    const int start = counterOfFailedOpen();
    QVERIFY(start > 0);
    // An identified node advances it too.
    simhid::present(8, 3, 0x0483, 0x5750);
    QCOMPARE(penHidraw("/dev/hidraw8"), 1);
    QCOMPARE(counterOfFailedOpen(), (start + 2) % 65536);
    int value = 0;
    for (int i = 0; i < 65536 && value != 65535; ++i)
        value = counterOfFailedOpen();
    QCOMPARE(value, 65535);
    QCOMPARE(counterOfFailedOpen(), 0);
    QCOMPARE(counterOfFailedOpen(), 1);
}

QTEST_MAIN(tst_Search)
#include "tst_search.moc"
