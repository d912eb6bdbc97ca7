#include <QtTest>

#include <QFile>
#include <QTimer>

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mainwindow.h"
#include "simhid.h"
#include "thread.h"
#include "../support/testutil.h"

// The hot-plug monitor on a real kernel uevent socket.
class tst_Monitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void kernelEventRaisesFlag();
    void burstGivesOneSearchPerTick();
    void messageTextBoundedByBytesReceived_data();
    void messageTextBoundedByBytesReceived();
    void portTakenReportsBindAndEnds();

private:
    static bool root() { return geteuid() == 0; }
    static bool triggerEvent()
    {
        QFile f("/sys/class/net/lo/uevent");
        return f.open(QFile::WriteOnly) && f.write("change\n") == 7;
    }
    int searches() const { return sudo.commands().size() / 10; }
    // The window's one-second tick takes the flag down; a test that watches
    // the flag itself holds the tick, or a tick between the receive and the
    // check hides the event (seen under emulation, where ticks come late).
    QTimer *tick() const
    {
        for (QTimer *t : window->findChildren<QTimer *>())
            if (t->interval() == 1000)
                return t;
        return nullptr;
    }
    void holdTick() { QVERIFY(tick()); tick()->stop(); }

    testutil::StandInSudo sudo{SIMHID_SUDO_DIR};
    testutil::MessageCapture *log = nullptr;
    MainWindow *window = nullptr;
};

void tst_Monitor::initTestCase()
{
    simhid::reset();
    log = new testutil::MessageCapture;
    // Its monitor is the first uevent socket of this process and holds the
    // process id as port id for the whole run.
    window = new MainWindow;
    QTest::qWait(200);
}

void tst_Monitor::cleanupTestCase()
{
    delete window;
    delete log;
}

void tst_Monitor::cleanup()
{
    if (tick() && !tick()->isActive())
        tick()->start();
}

void tst_Monitor::kernelEventRaisesFlag()
{
    if (!root())
        QSKIP("making the kernel broadcast a uevent needs root (writes /sys/class/net/lo/uevent)");
    holdTick();
    MY_flag.store(0);
    log->clear();
    QVERIFY(triggerEvent());
    QTRY_COMPARE_WITH_TIMEOUT(int(MY_flag.load()), 1, 3000);
    QTRY_VERIFY(log->debugLines().contains("123456=change@/devices/virtual/net/lo"));
    // A second event while the flag is up leaves it up.
    QVERIFY(triggerEvent());
    QTRY_COMPARE(log->debugLines().filter("123456=change@").size(), 2);
    QCOMPARE(int(MY_flag.load()), 1);
}

void tst_Monitor::burstGivesOneSearchPerTick()
{
    if (!root())
        QSKIP("making the kernel broadcast a uevent needs root (writes /sys/class/net/lo/uevent)");
    // Let a tick take any pending flag first.
    QTRY_COMPARE_WITH_TIMEOUT(int(MY_flag.load()), 0, 3000);
    sudo.clear();
    log->clear();
    for (int i = 0; i < 200; ++i)
        QVERIFY(triggerEvent());
    QTest::qWait(2600);
    const int received = log->debugLines().filter("123456=").size();
    QVERIFY2(received >= 1, "no event of the burst arrived");
    // The burst fits inside one tick or straddles two; never one search per event.
    QVERIFY2(searches() >= 1 && searches() <= 2, qPrintable(QString::number(searches())));
    QCOMPARE(sudo.commands().size() % 10, 0);
    QCOMPARE(int(MY_flag.load()), 0);
}

void tst_Monitor::messageTextBoundedByBytesReceived_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("logged");

    const QByteArray big(4096, 'x');
    QTest::newRow("full buffer without NUL") << big << QString("123456=") + QString(4096, 'x');
    // Shorter than the previous one: the earlier bytes still in the buffer
    // must not show.
    QTest::newRow("short after long") << QByteArray("add@/short") << QString("123456=add@/short");
    QTest::newRow("NUL first") << QByteArray("\0ACTION=add", 11) << QString("123456=");
    QTest::newRow("header and entries") << QByteArray("remove@/dev/x\0ACTION=remove\0SUBSYSTEM=usb\0", 42)
                                        << QString("123456=remove@/dev/x");
    QTest::newRow("longer than the buffer") << QByteArray(5000, 'y') << QString("123456=") + QString(4096, 'y');
    QTest::newRow("utf-8 text") << QByteArray("change@/设备") << QString::fromUtf8("123456=change@/设备");
}

void tst_Monitor::messageTextBoundedByBytesReceived()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, logged);
    if (!root())
        QSKIP("sending to the monitor's netlink port needs CAP_NET_ADMIN");
    holdTick();

    const int sock = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
    QVERIFY(sock >= 0);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = uint32_t(getpid());
    MY_flag.store(0);
    log->clear();
    QCOMPARE(sendto(sock, message.constData(), size_t(message.size()), 0,
                    reinterpret_cast<sockaddr *>(&to), sizeof(to)), ssize_t(message.size()));
    close(sock);
    QTRY_COMPARE(int(MY_flag.load()), 1);
    QTRY_VERIFY(!log->debugLines().isEmpty());
    QCOMPARE(log->debugLines().first(), logged);
}

void tst_Monitor::portTakenReportsBindAndEnds()
{
    // The window's monitor holds the port id already.
    int result = 0;
    const QByteArray err = testutil::captureStdout([&] { result = init_hotplug_sock(); }, STDERR_FILENO);
    QCOMPARE(result, -1);
    QCOMPARE(err, QByteArray("bind: Address already in use\n"));

    // A monitor without a socket ends instead of spinning on it.
    MY_flag.store(0);
    MyThread second;
    second.start();
    QVERIFY(second.wait(3000));
    QCOMPARE(int(MY_flag.load()), 0);
}

QTEST_MAIN(tst_Monitor)
#include "tst_monitor.moc"
