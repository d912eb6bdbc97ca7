#include <QtTest>

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTimer>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "window/mainwindow.h"
#include "simhid.h"
#include "hotplug/thread.h"
#include "../support/testutil.h"

// bind() as the monitor calls it: recorded, and failed on demand with the
// errors queued for the next netlink binds; the rest goes to the kernel.
namespace {
struct BindCall {
    int fd;
    sockaddr_nl address;
};
std::mutex bindMutex;
QList<int> bindFailures;  // errno per coming netlink bind; 0 lets it through
QList<BindCall> bindCalls;
} // namespace

extern "C" int bind(int fd, const sockaddr *address, socklen_t length) noexcept
{
    using BindFn = int (*)(int, const sockaddr *, socklen_t);
    static const BindFn next = reinterpret_cast<BindFn>(dlsym(RTLD_NEXT, "bind"));
    if (address && address->sa_family == AF_NETLINK && length >= sizeof(sockaddr_nl)) {
        std::lock_guard<std::mutex> lock(bindMutex);
        BindCall call{fd, {}};
        memcpy(&call.address, address, sizeof(sockaddr_nl));
        bindCalls.append(call);
        const int failure = bindFailures.isEmpty() ? 0 : bindFailures.takeFirst();
        if (failure) {
            errno = failure;
            return -1;
        }
    }
    return next(fd, address, length);
}

// The hot-plug monitor on a real kernel uevent socket, in a process where
// another uevent socket took the process id as its port first, as Qt's
// input discovery (libudev) does under eglfs and linuxfb.
class tst_Monitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void bindFallsBackToAnyPort_data();
    void bindFallsBackToAnyPort();
    void monitorWithoutSocketEnds();
    void kernelEventRaisesFlag();
    void displayPluggedInLaterIsFound();
    void burstGivesOneSearchPerTick();
    void messageTextBoundedByBytesReceived_data();
    void messageTextBoundedByBytesReceived();

private:
    static bool root() { return geteuid() == 0; }
    static bool triggerEvent()
    {
        QFile f("/sys/class/net/lo/uevent");
        return f.open(QFile::WriteOnly) && f.write("change\n") == 7;
    }
    // libudev's monitor: group 2, autobound, so the kernel hands it the
    // process id when no socket of the process has it yet.
    static int udevLikeSocket()
    {
        const int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = 2;
        if (sock >= 0 && bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            close(sock);
            return -1;
        }
        return sock;
    }
    static quint32 portOf(int fd)
    {
        for (const testutil::UeventSocket &s : testutil::ueventSockets())
            if (s.fd == fd)
                return s.port;
        return 0;
    }
    // The window's monitor: the process's one socket on the kernel's group.
    static quint32 monitorPort()
    {
        for (const testutil::UeventSocket &s : testutil::ueventSockets())
            if (s.groups & 1)
                return s.port;
        return 0;
    }
    static QList<BindCall> takeBindCalls(const QList<int> &failures = {})
    {
        std::lock_guard<std::mutex> lock(bindMutex);
        const QList<BindCall> calls = bindCalls;
        bindCalls.clear();
        bindFailures = failures;
        return calls;
    }
    // Every search of an empty machine tries all ten nodes.
    static int searches() { return int(simhid::opens().size()) / 10; }
    QString status() const { return window->findChild<QLabel *>("label_2")->text(); }
    // The window's tick takes the flag down; a test that watches the flag
    // itself holds the tick, or a tick between the receive and the check
    // hides the event (seen under emulation, where ticks come late).
    void holdTick() { QVERIFY(testutil::searchTick(window)); testutil::searchTick(window)->stop(); }

    testutil::StandInSudo sudo{SIMHID_SUDO_DIR};
    testutil::MessageCapture *log = nullptr;
    MainWindow *window = nullptr;
    int udev = -1;
};

void tst_Monitor::initTestCase()
{
    testutil::keepOtherThreadsOffTheTestLog();
    simhid::reset();
    udev = udevLikeSocket();
    QVERIFY(udev >= 0);
    QCOMPARE(portOf(udev), quint32(getpid()));

    log = new testutil::MessageCapture;
    takeBindCalls();
    const QByteArray err = testutil::captureStdout([this] {
        window = new MainWindow;
        for (int i = 0; i < 250 && monitorPort() == 0; ++i)
            QThread::msleep(20);
    }, STDERR_FILENO);
    // Bound, to a port of the kernel's choice, and quietly.
    QVERIFY(monitorPort() != 0);
    QVERIFY(monitorPort() != quint32(getpid()));
    QCOMPARE(err, QByteArray());
    const QList<BindCall> calls = takeBindCalls();
    QCOMPARE(calls.size(), 2);
    QCOMPARE(calls[0].address.nl_pid, quint32(getpid()));
    QCOMPARE(calls[1].address.nl_pid, 0u);
}

void tst_Monitor::cleanupTestCase()
{
    delete window;
    delete log;
    close(udev);
}

void tst_Monitor::cleanup()
{
    simhid::reset();
    takeBindCalls();
    if (udev < 0)
        udev = udevLikeSocket();
    if (testutil::searchTick(window) && !testutil::searchTick(window)->isActive())
        testutil::searchTick(window)->start();
}

void tst_Monitor::bindFallsBackToAnyPort_data()
{
    QTest::addColumn<bool>("pidTaken");     // another uevent socket holds the process id
    QTest::addColumn<int>("firstFailure");  // 0: the kernel answers
    QTest::addColumn<int>("secondFailure");
    QTest::addColumn<int>("binds");
    QTest::addColumn<int>("port");          // 1: the process id; 2: another one; 0: none
    QTest::addColumn<QByteArray>("stderrText");

    QTest::newRow("process id free") << false << 0 << 0 << 1 << 1 << QByteArray();
    QTest::newRow("process id taken") << true << 0 << 0 << 2 << 2 << QByteArray();
    QTest::newRow("taken, and no other port") << true << int(EADDRINUSE) << int(EBUSY) << 2 << 0
                                              << QByteArray("bind: Device or resource busy\n");
    QTest::newRow("refused for another reason") << false << int(EPERM) << 0 << 1 << 0
                                                << QByteArray("bind: Operation not permitted\n");
}

void tst_Monitor::bindFallsBackToAnyPort()
{
    QFETCH(bool, pidTaken);
    QFETCH(int, firstFailure);
    QFETCH(int, secondFailure);
    QFETCH(int, binds);
    QFETCH(int, port);
    QFETCH(QByteArray, stderrText);

    if (!pidTaken) {
        close(udev);
        udev = -1;
    }
    QList<int> failures;
    if (firstFailure)
        failures << firstFailure << secondFailure;
    takeBindCalls(failures);
    int sock = -2;
    const QByteArray err = testutil::captureStdout([&] { sock = init_hotplug_sock(); }, STDERR_FILENO);
    const QList<BindCall> calls = takeBindCalls();

    QCOMPARE(err, stderrText);
    QCOMPARE(calls.size(), binds);
    for (int i = 0; i < binds; ++i) {
        QCOMPARE(calls[i].address.nl_family, sa_family_t(AF_NETLINK));
        QCOMPARE(calls[i].address.nl_groups, 1u);
        QCOMPARE(calls[i].address.nl_pid, i == 0 ? quint32(getpid()) : 0u);
        QCOMPARE(calls[i].fd, calls[0].fd);
    }
    if (port == 0) {
        QCOMPARE(sock, -1);
        // The socket was closed.
        QCOMPARE(fcntl(calls[0].fd, F_GETFD), -1);
        return;
    }
    QCOMPARE(sock, calls[0].fd);
    const quint32 bound = portOf(sock);
    close(sock);
    if (port == 1)
        QCOMPARE(bound, quint32(getpid()));
    else
        QVERIFY2(bound != 0 && bound != quint32(getpid()), qPrintable(QString::number(bound)));
}

void tst_Monitor::monitorWithoutSocketEnds()
{
    // A monitor without a socket ends instead of spinning on it.
    takeBindCalls({EPERM});
    // Not on the stack: the thread's end is made known through Qt's own
    // locks, which ThreadSanitizer does not see, so a later test reusing
    // the stack would show as a race with the thread's last write.
    static MyThread second;
    const QByteArray err = testutil::captureStdout([&] {
        second.start();
        QVERIFY(second.wait(3000));
    }, STDERR_FILENO);
    QCOMPARE(err, QByteArray("bind: Operation not permitted\n"));
    QCOMPARE(takeBindCalls().size(), 1);
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
    QTRY_VERIFY(log->debugLines(log->AllThreads).contains("123456=change@/devices/virtual/net/lo"));
    for (const testutil::Message &m : log->messages(log->AllThreads)) {
        QCOMPARE(m.category, QByteArray("default"));
        QVERIFY(!m.hasSource);
    }
    // A further event while the flag is up leaves it up.
    const int seen = log->debugLines(log->AllThreads).filter("123456=change@").size();
    QVERIFY(triggerEvent());
    QTRY_VERIFY(log->debugLines(log->AllThreads).filter("123456=change@").size() > seen);
    QCOMPARE(int(MY_flag.load()), 1);
}

void tst_Monitor::displayPluggedInLaterIsFound()
{
    if (!root())
        QSKIP("making the kernel broadcast a uevent needs root (writes /sys/class/net/lo/uevent)");
    QCOMPARE(status(), QString::fromUtf8("未找到可连接设备"));
    simhid::present(1, 3, 0x0483, 0x5750);
    QVERIFY(triggerEvent());
    QTRY_COMPARE_WITH_TIMEOUT(status(), QString::fromUtf8("设备已连接"), 5000);
}

void tst_Monitor::burstGivesOneSearchPerTick()
{
    if (!root())
        QSKIP("making the kernel broadcast a uevent needs root (writes /sys/class/net/lo/uevent)");
    QElapsedTimer clock;
    clock.start();
    simhid::clearRecords();
    log->clear();
    for (int i = 0; i < 200; ++i)
        QVERIFY(triggerEvent());
    QTest::qWait(2600);
    const int received = log->debugLines(log->AllThreads).filter("123456=").size();
    QVERIFY2(received >= 1, "no event of the burst arrived");
    // One search per tick at most, never one per event; other events on
    // the machine may add a tick's search but no more.
    const int ticks = int(clock.elapsed() / 1000) + 1;
    QVERIFY2(searches() >= 1 && searches() <= ticks,
             qPrintable(QString("%1 searches in %2 ticks").arg(searches()).arg(ticks)));
    QCOMPARE(simhid::opens().size() % 10, size_t(0));
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
    to.nl_pid = monitorPort();
    QVERIFY(to.nl_pid != 0);
    MY_flag.store(0);
    log->clear();
    QCOMPARE(sendto(sock, message.constData(), size_t(message.size()), 0,
                    reinterpret_cast<sockaddr *>(&to), sizeof(to)), ssize_t(message.size()));
    close(sock);
    QTRY_COMPARE(int(MY_flag.load()), 1);
    // Kernel uevents from elsewhere on the machine may come before or after.
    QTRY_VERIFY(log->debugLines(log->AllThreads).contains(logged));
}

QTEST_MAIN(tst_Monitor)
#include "tst_monitor.moc"
