// Checks the simulated display through the same libc calls the program makes.
#include "simhid.h"

#include <QtTest>
#include <QProcess>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <linux/hidraw.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

namespace {

constexpr unsigned kBus = 3;
constexpr unsigned short kVendor = 0x0483;
constexpr unsigned short kProduct = 0x5750;

std::vector<unsigned char> brightnessReport(unsigned char level, size_t len = 38)
{
    std::vector<unsigned char> r(len, 0);
    const unsigned char head[] = {0x04, 0xAA, 0x01, 0x00, 0x00, 0x00};
    for (size_t i = 0; i < sizeof head && i < len; ++i)
        r[i] = head[i];
    if (len > 6)
        r[6] = level;
    return r;
}

std::vector<unsigned char> ackReport()
{
    std::vector<unsigned char> r(64, 0);
    r[0] = 0x04;
    r[1] = 0xAA;
    r[2] = 0x02;
    return r;
}

volatile sig_atomic_t g_sigpipes = 0;
void countSigpipe(int) { g_sigpipes = g_sigpipes + 1; }

enum class Setup { Present, PresentThenAbsent, FailOpen, Zero, FailIdentity, Unplugged, Granted,
                   GrantPending, Unlisted };
enum class Opened { Descriptor, Zero, Failed };

QString hexOf(const std::vector<unsigned char> &bytes)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes.data()),
                                          static_cast<int>(bytes.size())).toHex());
}

} // namespace

int fortifiedOpen(const char *path, int flags);
long fortifiedRead(int fd, unsigned char (&buf)[64], unsigned long length);

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Opened)

class TstSimhid : public QObject
{
    Q_OBJECT

private:
    std::vector<int> m_fds;   // closed by cleanup() if a test stops early

    // A descriptor of a display that is gone: writes and reads fail with
    // ENODEV, as the kernel's do.
    static void expectGone(int fd)
    {
        errno = 0;
        QCOMPARE(writeReport(fd, brightnessReport(1)), ssize_t(-1));
        QCOMPARE(errno, ENODEV);
        unsigned char buf[64];
        errno = 0;
        QCOMPARE(::read(fd, buf, sizeof buf), ssize_t(-1));
        QCOMPARE(errno, ENODEV);
    }

    int openNode(int node, int flags = O_RDWR)
    {
        const QByteArray path = "/dev/hidraw" + QByteArray::number(node);
        const int fd = ::open(path.constData(), flags);
        if (fd > 0)
            m_fds.push_back(fd);
        return fd;
    }
    int closeFd(int fd)
    {
        m_fds.erase(std::remove(m_fds.begin(), m_fds.end(), fd), m_fds.end());
        return ::close(fd);
    }
    static ssize_t writeReport(int fd, const std::vector<unsigned char> &r)
    {
        return ::write(fd, r.data(), r.size());
    }

    // Preloaded probe process, driven one line at a time.
    struct Probe {
        QProcess process;
        QString configPath;
        QString logPath;
    };
    static void writeConfig(const QString &path, const QByteArray &text)
    {
        QSaveFile f(path);   // temp file + rename
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
        QVERIFY(f.commit());
    }
    static QString ask(QProcess &p, const QString &command)
    {
        p.write(command.toLatin1() + '\n');
        QElapsedTimer t;
        t.start();
        while (!p.canReadLine() && p.state() == QProcess::Running && t.elapsed() < 10000)
            p.waitForReadyRead(100);
        return QString::fromLatin1(p.readLine()).trimmed();
    }
    static bool startProbe(Probe &probe, const QTemporaryDir &dir)
    {
        probe.configPath = dir.filePath("nodes.cfg");
        probe.logPath = dir.filePath("events.log");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // A cross build runs the probe under the emulator, a program of this
        // machine: only the emulator's guest may load the target's library.
        QStringList emulator = QString::fromUtf8(SIMHID_TEST_EMULATOR).split(' ', Qt::SkipEmptyParts);
        if (emulator.isEmpty())
            env.insert("LD_PRELOAD", SIMHID_TEST_PRELOAD);
        else
            env.insert("QEMU_SET_ENV", QStringLiteral("LD_PRELOAD=" SIMHID_TEST_PRELOAD));
        env.insert("SIMHID_CONFIG", probe.configPath);
        env.insert("SIMHID_LOG", probe.logPath);
        probe.process.setProcessEnvironment(env);
        probe.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (emulator.isEmpty()) {
            probe.process.start(SIMHID_TEST_PROBE, QStringList());
        } else {
            const QString program = emulator.takeFirst();
            probe.process.start(program, emulator << SIMHID_TEST_PROBE);
        }
        return probe.process.waitForStarted();
    }
    static QStringList finishProbe(Probe &probe)
    {
        probe.process.closeWriteChannel();
        if (!probe.process.waitForFinished(10000))
            probe.process.kill();
        QFile log(probe.logPath);
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(log.readAll()).split('\n', Qt::SkipEmptyParts);
    }

private slots:
    void init() { simhid::reset(); }
    void cleanup()
    {
        for (int fd : m_fds)
            ::close(fd);
        m_fds.clear();
        simhid::reset();
    }

    void openOutcomes_data()
    {
        QTest::addColumn<int>("node");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<int>("err");
        QTest::addColumn<unsigned>("vendor");
        QTest::addColumn<unsigned>("product");
        QTest::addColumn<Opened>("opened");
        QTest::addColumn<int>("openErrno");
        QTest::addColumn<int>("ioctlErrno");
        QTest::addColumn<QByteArray>("hidId");   // the uevent file's HID_ID line; empty: no file
        QTest::addColumn<int>("accessErrno");    // access(R_OK | W_OK)

        QTest::newRow("present") << 0 << Setup::Present << 0 << 0x0483u << 0x5750u
                                 << Opened::Descriptor << 0 << 0
                                 << QByteArray("HID_ID=0003:00000483:00005750") << EACCES;
        QTest::newRow("present, ids above 0x7fff") << 9 << Setup::Present << 0 << 0x8086u << 0xfff0u
                                                   << Opened::Descriptor << 0 << 0
                                                   << QByteArray("HID_ID=0003:00008086:0000FFF0") << EACCES;
        QTest::newRow("absent after present") << 1 << Setup::PresentThenAbsent << 0 << 0u << 0u
                                              << Opened::Failed << ENOENT << 0 << QByteArray() << ENOENT;
        QTest::newRow("open fails EACCES") << 2 << Setup::FailOpen << EACCES << 0u << 0u
                                           << Opened::Failed << EACCES << 0
                                           << QByteArray("HID_ID=0003:00000000:00000000") << EACCES;
        QTest::newRow("open fails EBUSY") << 3 << Setup::FailOpen << EBUSY << 0u << 0u
                                          << Opened::Failed << EBUSY << 0
                                          << QByteArray("HID_ID=0003:00000000:00000000") << EACCES;
        QTest::newRow("open returns zero") << 4 << Setup::Zero << 0 << 0u << 0u
                                           << Opened::Zero << 0 << 0 << QByteArray() << EACCES;
        QTest::newRow("identity fails EIO") << 5 << Setup::FailIdentity << EIO << 0x0483u << 0x5750u
                                            << Opened::Descriptor << 0 << EIO
                                            << QByteArray("HID_ID=0003:00000483:00005750") << EACCES;
        QTest::newRow("unplugged") << 6 << Setup::Unplugged << 0 << 0x0483u << 0x5750u
                                   << Opened::Failed << ENOENT << 0 << QByteArray() << ENOENT;
        QTest::newRow("access granted") << 7 << Setup::Granted << 0 << 0x0eefu << 0x0005u
                                        << Opened::Descriptor << 0 << 0
                                        << QByteArray("HID_ID=0003:00000EEF:00000005") << 0;
        QTest::newRow("access not yet granted") << 8 << Setup::GrantPending << 0 << 0x0483u << 0x5750u
                                                << Opened::Failed << EACCES << 0
                                                << QByteArray("HID_ID=0003:00000483:00005750") << EACCES;
        QTest::newRow("not listed in sysfs") << 0 << Setup::Unlisted << 0 << 0x0483u << 0x5750u
                                             << Opened::Descriptor << 0 << 0 << QByteArray() << EACCES;
    }

    void openOutcomes()
    {
        QFETCH(int, node);
        QFETCH(Setup, setup);
        QFETCH(int, err);
        QFETCH(unsigned, vendor);
        QFETCH(unsigned, product);
        QFETCH(Opened, opened);
        QFETCH(int, openErrno);
        QFETCH(int, ioctlErrno);
        QFETCH(QByteArray, hidId);
        QFETCH(int, accessErrno);

        const auto v = static_cast<unsigned short>(vendor);
        const auto p = static_cast<unsigned short>(product);
        switch (setup) {
        case Setup::Present: simhid::present(node, kBus, v, p); break;
        case Setup::PresentThenAbsent: simhid::present(node, kBus, v, p); simhid::absent(node); break;
        case Setup::FailOpen: simhid::present(node, kBus, v, p); simhid::failOpen(node, err); break;
        case Setup::Zero: simhid::openReturnsZero(node); break;
        case Setup::FailIdentity: simhid::present(node, kBus, v, p); simhid::failIdentity(node, err); break;
        case Setup::Unplugged: simhid::present(node, kBus, v, p); simhid::unplug(node); break;
        case Setup::Granted: simhid::present(node, kBus, v, p); simhid::grantAccess(node); break;
        case Setup::GrantPending: simhid::present(node, kBus, v, p); simhid::grantAccess(node, 60000); break;
        case Setup::Unlisted: simhid::present(node, kBus, v, p); simhid::listInSysfs(node, false); break;
        }

        const QByteArray uevent = "/sys/class/hidraw/hidraw" + QByteArray::number(node) + "/device/uevent";
        errno = 0;
        const int sysfs = ::open(uevent.constData(), O_RDONLY | O_CLOEXEC);
        if (hidId.isEmpty()) {
            QCOMPARE(sysfs, -1);
            QCOMPARE(errno, ENOENT);
        } else {
            QVERIFY(sysfs >= 0);
            char text[512];
            const ssize_t got = ::read(sysfs, text, sizeof text);
            ::close(sysfs);
            QVERIFY(got > 0);
            QVERIFY2(QByteArray(text, int(got)).split('\n').contains(hidId), text);
        }
        errno = 0;
        const QByteArray path = "/dev/hidraw" + QByteArray::number(node);
        const int accessed = ::access(path.constData(), R_OK | W_OK);
        const int accessErr = errno;
        QCOMPARE(accessed, accessErrno ? -1 : 0);
        QCOMPARE(accessErr, accessErrno);
        QCOMPARE(::access(path.constData(), F_OK), accessErrno == ENOENT ? -1 : 0);

        errno = 0;
        const int fd = openNode(node);
        const int openErr = fd < 0 ? errno : 0;
        switch (opened) {
        case Opened::Descriptor: QVERIFY(fd > 0); break;
        case Opened::Zero: QCOMPARE(fd, 0); break;
        case Opened::Failed: QCOMPARE(fd, -1); QCOMPARE(openErr, openErrno); break;
        }
        const auto o = simhid::opens();
        QCOMPARE(o.size(), size_t(1));
        QCOMPARE(o[0].node, node);
        QCOMPARE(o[0].result, fd);
        QCOMPARE(o[0].err, openErr);
        QCOMPARE(simhid::openDescriptors(node), opened == Opened::Descriptor ? 1 : 0);
        QCOMPARE(simhid::openDescriptors(-1), opened == Opened::Descriptor ? 1 : 0);
        if (opened != Opened::Descriptor)
            return;

        hidraw_devinfo info{};
        errno = 0;
        const int r = ::ioctl(fd, HIDIOCGRAWINFO, &info);
        QCOMPARE(simhid::identityRequests(node), 1);
        if (ioctlErrno) {
            QCOMPARE(r, -1);
            QCOMPARE(errno, ioctlErrno);
        } else {
            QCOMPARE(r, 0);
            QCOMPARE(info.bustype, kBus);
            QCOMPARE(static_cast<unsigned short>(info.vendor), v);
            QCOMPARE(static_cast<unsigned short>(info.product), p);
        }

        QCOMPARE(closeFd(fd), 0);
        const auto c = simhid::closes();
        QCOMPARE(c.size(), size_t(1));
        QCOMPARE(c[0].node, node);
        QCOMPARE(c[0].fd, fd);
        QCOMPARE(simhid::openDescriptors(-1), 0);
    }

    void writeLengths_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<long>("result");
        QTest::addColumn<int>("err");
        QTest::newRow("1 byte") << 1 << -1L << EINVAL;
        QTest::newRow("2 bytes") << 2 << 2L << 0;
        QTest::newRow("38 bytes") << 38 << 38L << 0;
        QTest::newRow("4096 bytes") << 4096 << 4096L << 0;
        QTest::newRow("4097 bytes") << 4097 << -1L << EINVAL;
    }

    void writeLengths()
    {
        QFETCH(int, length);
        QFETCH(long, result);
        QFETCH(int, err);
        simhid::present(0, kBus, kVendor, kProduct);
        const int fd = openNode(0);
        QVERIFY(fd > 0);
        const auto report = brightnessReport(0x20, static_cast<size_t>(length));
        errno = 0;
        QCOMPARE(static_cast<long>(writeReport(fd, report)), result);
        if (result < 0)
            QCOMPARE(errno, err);
        const auto w = simhid::writes();
        QCOMPARE(w.size(), size_t(1));
        QCOMPARE(w[0].result, result);
        QCOMPARE(w[0].err, err);
    }

    void writeRecordsBlockingFlag()
    {
        simhid::present(2, kBus, kVendor, kProduct);
        const int fd = openNode(2);
        QVERIFY(fd > 0);
        const auto r1 = brightnessReport(0x10);
        const auto r2 = brightnessReport(0x80);
        const auto r3 = brightnessReport(0xff);
        QCOMPARE(writeReport(fd, r1), ssize_t(38));
        QCOMPARE(::fcntl(fd, F_SETFL, O_NONBLOCK), 0);
        QCOMPARE(writeReport(fd, r2), ssize_t(38));
        QCOMPARE(::fcntl(fd, F_SETFL, O_RDWR), 0);
        QCOMPARE(writeReport(fd, r3), ssize_t(38));

        const auto w = simhid::writes();
        QCOMPARE(w.size(), size_t(3));
        const std::vector<unsigned char> expected[] = {r1, r2, r3};
        const bool blocking[] = {true, false, true};
        for (size_t i = 0; i < 3; ++i) {
            QCOMPARE(w[i].node, 2);
            QCOMPARE(w[i].fd, fd);
            QVERIFY(w[i].bytes == expected[i]);
            QCOMPARE(w[i].blocking, blocking[i]);
            QCOMPARE(w[i].result, 38L);
            QCOMPARE(w[i].err, 0);
        }

        // O_NONBLOCK given to open is honoured as well.
        const int nb = openNode(2, O_RDWR | O_NONBLOCK);
        QVERIFY(nb > 0);
        QCOMPARE(writeReport(nb, r1), ssize_t(38));
        QCOMPARE(simhid::writes().back().blocking, false);
    }

    void unplugFailsWithEnodevAndPlugRestores()
    {
        struct sigaction sa {}, old {};
        sa.sa_handler = countSigpipe;
        sigaction(SIGPIPE, &sa, &old);
        g_sigpipes = 0;

        simhid::present(3, kBus, kVendor, kProduct);
        const int fd = openNode(3);
        QVERIFY(fd > 0);

        // A reader blocked at the moment of the unplug wakes with ENODEV.
        auto blocked = std::async(std::launch::async, [fd] {
            unsigned char buf[64];
            errno = 0;
            const ssize_t r = ::read(fd, buf, sizeof buf);
            return std::make_pair(r, errno);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        simhid::unplug(3);
        if (blocked.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ::shutdown(fd, SHUT_RDWR);
            blocked.wait();
            QFAIL("blocked read did not wake on unplug");
        }
        const auto woke = blocked.get();
        QCOMPARE(woke.first, ssize_t(-1));
        QCOMPARE(woke.second, ENODEV);

        expectGone(fd);
        if (QTest::currentTestFailed())
            return;
        pollfd pfd{fd, POLLIN, 0};
        QCOMPARE(::poll(&pfd, 1, 0), 1);
        QVERIFY(pfd.revents & POLLHUP);
        hidraw_devinfo info{};
        errno = 0;
        QCOMPARE(::ioctl(fd, HIDIOCGRAWINFO, &info), -1);
        QCOMPARE(errno, ENODEV);

        errno = 0;
        QCOMPARE(openNode(3), -1);
        QCOMPARE(errno, ENOENT);
        QCOMPARE(simhid::openDescriptors(3), 1);   // the program still holds it
        QCOMPARE(simhid::writes().back().err, ENODEV);

        simhid::plug(3);
        const int again = openNode(3);
        QVERIFY(again > 0);
        QCOMPARE(::ioctl(again, HIDIOCGRAWINFO, &info), 0);
        QCOMPARE(static_cast<unsigned short>(info.vendor), kVendor);
        QCOMPARE(static_cast<unsigned short>(info.product), kProduct);
        QCOMPARE(writeReport(again, brightnessReport(2)), ssize_t(38));
        pfd = pollfd{again, POLLIN, 0};
        QCOMPARE(::poll(&pfd, 1, 0), 0);
        errno = 0;
        QCOMPARE(writeReport(fd, brightnessReport(3)), ssize_t(-1));   // old one stays dead
        QCOMPARE(errno, ENODEV);

        QCOMPARE(simhid::openDescriptors(3), 2);
        QCOMPARE(closeFd(fd), 0);
        QCOMPARE(closeFd(again), 0);
        QCOMPARE(simhid::openDescriptors(3), 0);
        QCOMPARE(simhid::closes().size(), size_t(2));

        sigaction(SIGPIPE, &old, nullptr);
        QCOMPARE(int(g_sigpipes), 0);
    }

    void autoAck_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("answered");
        QTest::newRow("on, brightness report") << true << QByteArray("\x04\xAA\x01", 3) << true;
        QTest::newRow("on, other command") << true << QByteArray("\x04\xAA\x03", 3) << false;
        QTest::newRow("on, other report id") << true << QByteArray("\x05\xAA\x01", 3) << false;
        QTest::newRow("off, brightness report") << false << QByteArray("\x04\xAA\x01", 3) << false;
    }

    void autoAck()
    {
        QFETCH(bool, on);
        QFETCH(QByteArray, head);
        QFETCH(bool, answered);
        simhid::present(1, kBus, kVendor, kProduct);
        simhid::setAutoAck(1, on);
        const int fd = openNode(1);
        QVERIFY(fd > 0);
        QCOMPARE(::fcntl(fd, F_SETFL, O_NONBLOCK), 0);
        auto report = brightnessReport(0x40);
        std::copy(head.begin(), head.end(), report.begin());
        QCOMPARE(writeReport(fd, report), ssize_t(38));

        std::vector<unsigned char> buf(64, 0xee);
        errno = 0;
        const ssize_t r = ::read(fd, buf.data(), buf.size());
        if (answered) {
            QCOMPARE(r, ssize_t(64));
            QVERIFY(buf == ackReport());
            errno = 0;
            QCOMPARE(::read(fd, buf.data(), buf.size()), ssize_t(-1));   // one ack per report
        } else {
            QCOMPARE(r, ssize_t(-1));
        }
        QCOMPARE(errno, EAGAIN);
    }

    void queuedInputIsReadWhole()
    {
        simhid::present(4, kBus, kVendor, kProduct);
        QVERIFY(!simhid::queueInput(4, {0x01, 0x02}));   // nothing open yet
        const int first = openNode(4, O_RDWR | O_NONBLOCK);
        const int latest = openNode(4, O_RDWR | O_NONBLOCK);
        QVERIFY(first > 0 && latest > 0);

        const std::vector<unsigned char> shortReport = {0x04, 0xAA, 0x05, 0x11, 0x22};
        std::vector<unsigned char> longReport(64);
        for (size_t i = 0; i < longReport.size(); ++i)
            longReport[i] = static_cast<unsigned char>(0x80 + i);
        QVERIFY(!simhid::queueInput(4, {}));
        QVERIFY(simhid::queueInput(4, shortReport));
        QVERIFY(simhid::queueInput(4, longReport));

        std::vector<unsigned char> buf(64);
        QCOMPARE(::read(latest, buf.data(), 64), ssize_t(shortReport.size()));
        QVERIFY(std::equal(shortReport.begin(), shortReport.end(), buf.begin()));
        // A short buffer gets the start of one report; the rest is dropped.
        QCOMPARE(::read(latest, buf.data(), 8), ssize_t(8));
        QVERIFY(std::equal(longReport.begin(), longReport.begin() + 8, buf.begin()));
        errno = 0;
        QCOMPARE(::read(latest, buf.data(), 64), ssize_t(-1));
        QCOMPARE(errno, EAGAIN);
        errno = 0;
        QCOMPARE(::read(first, buf.data(), 64), ssize_t(-1));
        QCOMPARE(errno, EAGAIN);

        QCOMPARE(closeFd(latest), 0);
        QVERIFY(simhid::queueInput(4, shortReport));   // falls back to the other one
        QCOMPARE(::read(first, buf.data(), 64), ssize_t(shortReport.size()));
        simhid::unplug(4);
        QVERIFY(!simhid::queueInput(4, shortReport));
    }

    void notifierSeesInputAndUnplug()
    {
        simhid::present(5, kBus, kVendor, kProduct);
        const int fd = openNode(5, O_RDWR | O_NONBLOCK);
        QVERIFY(fd > 0);
        QSocketNotifier notifier(fd, QSocketNotifier::Read);
        int activations = 0;
        ssize_t lastRead = 0;
        int lastErrno = 0;
        connect(&notifier, &QSocketNotifier::activated, this, [&] {
            ++activations;
            unsigned char buf[64];
            errno = 0;
            lastRead = ::read(fd, buf, sizeof buf);
            lastErrno = errno;
            if (lastRead < 0 && lastErrno == ENODEV)
                notifier.setEnabled(false);
        });
        QTest::qWait(50);
        QCOMPARE(activations, 0);
        QVERIFY(simhid::queueInput(5, ackReport()));
        QTRY_COMPARE(activations, 1);
        QCOMPARE(lastRead, ssize_t(64));
        simhid::unplug(5);
        QTRY_COMPARE(activations, 2);
        QCOMPARE(lastRead, ssize_t(-1));
        QCOMPARE(lastErrno, ENODEV);
    }

    void fortifiedCallsAreSimulated()
    {
        simhid::present(9, kBus, kVendor, kProduct);
        const int fd = fortifiedOpen("/dev/hidraw9", O_RDWR | O_NONBLOCK);
        QVERIFY(fd > 0);
        m_fds.push_back(fd);
        QCOMPARE(simhid::opens().size(), size_t(1));
        unsigned char buf[64];
        errno = 0;
        QCOMPARE(fortifiedRead(fd, buf, sizeof buf), -1L);
        QCOMPARE(errno, EAGAIN);
        QVERIFY(simhid::queueInput(9, ackReport()));
        QCOMPARE(fortifiedRead(fd, buf, sizeof buf), 64L);
        QVERIFY(std::equal(buf, buf + 64, ackReport().begin()));
        simhid::unplug(9);
        errno = 0;
        QCOMPARE(fortifiedRead(fd, buf, sizeof buf), -1L);
        QCOMPARE(errno, ENODEV);
    }

    // Qt's own library reaches the C library through the executable's
    // exported interposers, as the program's libraries would.
    void callsFromSharedLibrariesAreSimulated()
    {
        simhid::present(7, kBus, kVendor, kProduct);
        QFile f("/dev/hidraw7");
        QVERIFY(f.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        const int fd = f.handle();
        QVERIFY(fd > 0);
        const auto report = brightnessReport(0x33);
        QCOMPARE(f.write(reinterpret_cast<const char *>(report.data()), qint64(report.size())), qint64(38));
        f.close();
        const auto o = simhid::opens();
        QCOMPARE(o.size(), size_t(1));
        QCOMPARE(o[0].result, fd);
        const auto w = simhid::writes();
        QCOMPARE(w.size(), size_t(1));
        QVERIFY(w[0].bytes == report);
        QCOMPARE(simhid::closes().size(), size_t(1));
        QCOMPARE(simhid::openDescriptors(7), 0);
    }

    void otherPathsGoToLibc_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("two digits") << QByteArray("/dev/hidraw10");
        QTest::newRow("no digit") << QByteArray("/dev/hidraw");
        QTest::newRow("letter") << QByteArray("/dev/hidrawa");
        QTest::newRow("relative") << QByteArray("dev/hidraw0");
        QTest::newRow("trailing slash") << QByteArray("/dev/hidraw0/");
        QTest::newRow("double slash") << QByteArray("//dev/hidraw0");
    }

    void otherPathsGoToLibc()
    {
        QFETCH(QByteArray, path);
        for (int n = 0; n < 10; ++n)
            simhid::present(n, kBus, kVendor, kProduct);
        errno = 0;
        const int fd = ::open(path.constData(), O_RDWR);
        if (fd >= 0)
            ::close(fd);
        struct stat sb;
        const bool exists = ::stat(path.constData(), &sb) == 0;
        QCOMPARE(fd >= 0, exists);   // whatever the real file system says
        QVERIFY(simhid::opens().empty());
    }

    void realFilesStillWork()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray path = QFile::encodeName(dir.filePath("plain"));
        const int fd = ::open(path.constData(), O_CREAT | O_RDWR | O_EXCL, 0640);
        QVERIFY(fd >= 0);
        struct stat sb;
        QCOMPARE(::fstat(fd, &sb), 0);
        QCOMPARE(sb.st_mode & 0777, mode_t(0640 & ~currentUmask()));
        QCOMPARE(::write(fd, "report", 6), ssize_t(6));
        QCOMPARE(::lseek(fd, 0, SEEK_SET), off_t(0));
        int pending = -1;
        QCOMPARE(::ioctl(fd, FIONREAD, &pending), 0);
        QCOMPARE(pending, 6);
        char buf[16] = {};
        QCOMPARE(::read(fd, buf, sizeof buf), ssize_t(6));
        QCOMPARE(QByteArray(buf), QByteArray("report"));
        QCOMPARE(::close(fd), 0);
        const int again = ::openat(AT_FDCWD, path.constData(), O_RDONLY);
        QVERIFY(again >= 0);
        QCOMPARE(::read(again, buf, sizeof buf), ssize_t(6));
        QCOMPARE(::close(again), 0);
        QVERIFY(simhid::opens().empty());
        QVERIFY(simhid::writes().empty());
        QVERIFY(simhid::closes().empty());
    }

    void manyWritesNeverBlock()
    {
        constexpr int kThreads = 4;
        constexpr int kPerThread = 2500;
        simhid::present(6, kBus, kVendor, kProduct);
        simhid::present(7, kBus, kVendor, kProduct);
        int fds[kThreads];
        for (int t = 0; t < kThreads; ++t) {
            fds[t] = openNode(6 + t % 2);   // blocking descriptors
            QVERIFY(fds[t] > 0);
        }
        struct sigaction ign {}, old {};
        ign.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ign, &old);

        std::vector<std::future<int>> done;
        for (int t = 0; t < kThreads; ++t) {
            done.push_back(std::async(std::launch::async, [fd = fds[t], t] {
                int ok = 0;
                for (int i = 0; i < kPerThread; ++i) {
                    auto r = brightnessReport(static_cast<unsigned char>(i));
                    r[7] = static_cast<unsigned char>(t);
                    if (::write(fd, r.data(), r.size()) == 38)
                        ++ok;
                }
                return ok;
            }));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool finished = true;
        for (auto &f : done)
            finished = finished && f.wait_until(deadline) == std::future_status::ready;
        if (!finished) {
            for (int fd : fds)
                ::shutdown(fd, SHUT_RDWR);   // wake writers stuck in the socket
        }
        int ok = 0;
        for (auto &f : done)
            ok += f.get();
        sigaction(SIGPIPE, &old, nullptr);
        QVERIFY2(finished, "writes blocked");
        QCOMPARE(ok, kThreads * kPerThread);

        const auto w = simhid::writes();
        QCOMPARE(w.size(), size_t(kThreads * kPerThread));
        int perThread[kThreads] = {};
        for (const auto &rec : w) {
            QVERIFY(rec.blocking);
            QCOMPARE(rec.bytes.size(), size_t(38));
            const int t = rec.bytes[7];
            QVERIFY(t < kThreads);
            QCOMPARE(rec.fd, fds[t]);
            QCOMPARE(rec.node, 6 + t % 2);
            ++perThread[t];
        }
        for (int t = 0; t < kThreads; ++t)
            QCOMPARE(perThread[t], kPerThread);
    }

    void resetForgetsDescriptors()
    {
        simhid::present(8, kBus, kVendor, kProduct);
        const int fd = openNode(8);
        QVERIFY(fd > 0);
        simhid::reset();
        QCOMPARE(simhid::openDescriptors(-1), 0);
        expectGone(fd);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(simhid::writes().empty());
        QCOMPARE(closeFd(fd), 0);
        QVERIFY(simhid::closes().empty());
        errno = 0;
        QCOMPARE(openNode(8), -1);
        QCOMPARE(errno, ENOENT);
    }

    void preloadNodeTable_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("openReply");   // when it does not open
        QTest::addColumn<QString>("infoReply");   // when it opens
        QTest::addColumn<QString>("ioctlLog");

        QTest::newRow("present") << QByteArray("1 present 3 0483 5750\n") << true << QString()
                                 << "info 0 0 3 0483 5750" << "ioctl 1 OK";
        QTest::newRow("present, 0x ids, ack") << QByteArray("1 present 5 0x8086 0xfff0 ack\n") << true
                                              << QString() << "info 0 0 5 8086 fff0" << "ioctl 1 OK";
        QTest::newRow("absent") << QByteArray("1 absent\n") << false << "open 1 -1 2" << QString()
                                << QString();
        QTest::newRow("not listed") << QByteArray("2 present 3 0483 5750\n") << false << "open 1 -1 2"
                                    << QString() << QString();
        QTest::newRow("openfail number") << QByteArray("1 openfail 13\n") << false << "open 1 -1 13"
                                         << QString() << QString();
        QTest::newRow("openfail name") << QByteArray("1 openfail EBUSY\n") << false << "open 1 -1 16"
                                       << QString() << QString();
        QTest::newRow("zero") << QByteArray("1 zero\n") << false << "open 1 0 0" << QString()
                              << QString();
        QTest::newRow("identityfail") << QByteArray("1 identityfail 5\n") << true << QString()
                                      << "info -1 5 0 0000 0000" << "ioctl 1 FAIL";
        QTest::newRow("unplugged") << QByteArray("1 unplugged\n") << false << "open 1 -1 2"
                                   << QString() << QString();
    }

    void preloadNodeTable()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, opens);
        QFETCH(QString, openReply);
        QFETCH(QString, infoReply);
        QFETCH(QString, ioctlLog);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Probe probe;
        writeConfig(dir.filePath("nodes.cfg"), "# node table\n\n" + config);
        QVERIFY(startProbe(probe, dir));

        const QString reply = ask(probe.process, "open 1");
        QStringList expectedLog;
        if (opens) {
            const QStringList parts = reply.split(' ');
            QCOMPARE(parts.size(), 4);
            const int fd = parts[2].toInt();
            QVERIFY(fd > 0);
            QCOMPARE(parts[3], QString("0"));
            QCOMPARE(ask(probe.process, QString("info %1").arg(fd)), infoReply);
            QCOMPARE(ask(probe.process, QString("close %1").arg(fd)), QString("close 0"));
            expectedLog << QString("open 1 %1 0").arg(fd) << ioctlLog << QString("close 1 %1").arg(fd);
        } else {
            QCOMPARE(reply, openReply);
            expectedLog << openReply;
        }
        QCOMPARE(finishProbe(probe), expectedLog);
    }

    void preloadFollowsConfigChangesAndLogs()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Probe probe;
        const QString cfg = dir.filePath("nodes.cfg");
        writeConfig(cfg, "1 present 3 0483 5750 ack\n");
        QVERIFY(startProbe(probe, dir));
        QProcess &p = probe.process;

        const QString opened = ask(p, "open 1");
        const int a = opened.section(' ', 2, 2).toInt();
        QVERIFY2(a > 0, qPrintable(opened));
        QCOMPARE(ask(p, QString("write %1 38").arg(a)), QString("write 38 0"));
        QCOMPARE(ask(p, QString("nonblock %1").arg(a)), QString("nonblock 0"));
        QCOMPARE(ask(p, QString("read %1").arg(a)), "read 64 0 " + hexOf(ackReport()));
        QCOMPARE(ask(p, QString("read %1").arg(a)), QString("read -1 %1").arg(EAGAIN));

        writeConfig(cfg, "1 unplugged\n");
        QCOMPARE(ask(p, QString("write %1 38").arg(a)), QString("write -1 %1").arg(ENODEV));
        QCOMPARE(ask(p, QString("read %1").arg(a)), QString("read -1 %1").arg(ENODEV));
        QCOMPARE(ask(p, "open 1"), QString("open 1 -1 %1").arg(ENOENT));

        writeConfig(cfg, "1 present 3 0483 5750\n");
        const QString reopened = ask(p, "open 1");
        const int b = reopened.section(' ', 2, 2).toInt();
        QVERIFY2(b > 0, qPrintable(reopened));
        QCOMPARE(ask(p, QString("info %1").arg(b)), QString("info 0 0 3 0483 5750"));
        QCOMPARE(ask(p, QString("write %1 38").arg(a)), QString("write -1 %1").arg(ENODEV));
        QCOMPARE(ask(p, QString("write %1 38").arg(b)), QString("write 38 0"));
        QCOMPARE(ask(p, QString("nonblock %1").arg(b)), QString("nonblock 0"));
        QCOMPARE(ask(p, QString("read %1").arg(b)), QString("read -1 %1").arg(EAGAIN));   // ack now off
        QCOMPARE(ask(p, QString("close %1").arg(a)), QString("close 0"));
        QCOMPARE(ask(p, QString("close %1").arg(b)), QString("close 0"));

        const QString report = hexOf(brightnessReport(0x40));
        const QStringList expected = {
            QString("open 1 %1 0").arg(a),
            QString("write 1 %1 38 1 %2").arg(a).arg(report),
            "read 1 64",
            "read 1 -1",
            QString("write 1 %1 -1 0 %2").arg(a).arg(report),
            "read 1 -1",
            "open 1 -1 2",
            QString("open 1 %1 0").arg(b),
            "ioctl 1 OK",
            QString("write 1 %1 -1 0 %2").arg(a).arg(report),
            QString("write 1 %1 38 1 %2").arg(b).arg(report),
            "read 1 -1",
            QString("close 1 %1").arg(a),
            QString("close 1 %1").arg(b),
        };
        QCOMPARE(finishProbe(probe), expected);
    }

    void sudoStandIn_data()
    {
        QTest::addColumn<QString>("exitStatus");   // SIMSUDO_EXIT, empty: unset
        QTest::addColumn<QString>("delay");        // SIMSUDO_DELAY, empty: unset
        QTest::addColumn<bool>("logged");
        QTest::addColumn<int>("expectedExit");
        QTest::addColumn<int>("minMs");
        QTest::newRow("default") << QString() << QString() << true << 0 << 0;
        QTest::newRow("chosen exit status") << "3" << QString() << true << 3 << 0;
        QTest::newRow("delayed") << QString() << "0.3" << true << 0 << 300;
        QTest::newRow("no log file") << "1" << QString() << false << 1 << 0;
    }

    void sudoStandIn()
    {
        QFETCH(QString, exitStatus);
        QFETCH(QString, delay);
        QFETCH(bool, logged);
        QFETCH(int, expectedExit);
        QFETCH(int, minMs);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString log = dir.filePath("sudo.log");
        const QString marker = dir.filePath("marker");
        {
            QFile f(log);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("earlier\n");
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("SIMSUDO_LOG");
        env.remove("SIMSUDO_EXIT");
        env.remove("SIMSUDO_DELAY");
        if (logged)
            env.insert("SIMSUDO_LOG", log);
        if (!exitStatus.isEmpty())
            env.insert("SIMSUDO_EXIT", exitStatus);
        if (!delay.isEmpty())
            env.insert("SIMSUDO_DELAY", delay);
        QProcess p;
        p.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        p.start(SIMHID_TEST_SUDO, {"touch", marker});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), expectedExit);
        QVERIFY(t.elapsed() >= minMs);
        QVERIFY(!QFile::exists(marker));   // the command itself never runs
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray expected = logged ? "earlier\ntouch " + QFile::encodeName(marker) + '\n'
                                           : QByteArray("earlier\n");
        QCOMPARE(f.readAll(), expected);
    }

private:
    static mode_t currentUmask()
    {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }
};

QTEST_GUILESS_MAIN(TstSimhid)
#include "tst_simhid.moc"
