// bench_inproc: the send path, the device search and the hot-plug path of
// the tool, measured inside one process with the simulated display linked
// in, each against its floor measured in the same process.
//
//   bench_inproc send    [sends]     slider change -> report at the display
//   bench_inproc search  [repeats]   one full search vs. its ten commands
//   bench_inproc hotplug [events] [burst]   uevent -> status label; burst
//   bench_inproc notifier [ms]   GUI thread with an acknowledgement unread,
//                                as shipped and with the notifier enabled
//
// Results go to standard output as "key value" lines. The tool's own
// diagnostics go to /dev/null (standard error is pointed there before Qt
// starts); the benchmark's complaints go to the original standard error.

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QSlider>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <linux/netlink.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "alloccount.h"
#include "common/debuglog.h"
#include "display/device.h"
#include "window/mainwindow.h"
#include "percentile.h"
#include "display/report.h"
#include "simhid.h"
#include "hotplug/thread.h"

// A slider wired to an empty slot the way the window's slider is wired
// (connectSlotsByName): Qt's part of a send.
class EmptySlot : public QWidget
{
    Q_OBJECT

public:
    explicit EmptySlot(QWidget *parent) : QWidget(parent)
    {
        setGeometry(0, 0, 430, 85);
        slider = new QSlider(Qt::Horizontal, this);
        slider->setObjectName("probeSlider");
        slider->setGeometry(47, 8, 320, 35);
        slider->setRange(0, 10);
        slider->setValue(10);
        QMetaObject::connectSlotsByName(this);
    }
    QSlider *slider;
    int last = 0;

private slots:
    void on_probeSlider_valueChanged(int value) { last = value; }
};

namespace {

FILE *g_err = stderr;
std::string g_sudoLog;

long long nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void out(const char *key, double value)
{
    printf("%s %.6g\n", key, value);
}

void outText(const char *key, const std::string &value)
{
    printf("%s %s\n", key, value.c_str());
}

[[noreturn]] void fail(const char *what)
{
    fprintf(g_err, "bench_inproc: %s\n", what);
    fflush(g_err);
    _exit(2);
}

// Every search starts by trying node 0, present or not.
int searchesSoFar()
{
    int n = 0;
    for (const simhid::OpenRecord &r : simhid::opens())
        n += r.node == 0;
    return n;
}

int lineCount(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return 0;
    int lines = 0;
    for (int c; (c = fgetc(f)) != EOF;)
        lines += c == '\n';
    fclose(f);
    return lines;
}

// Runs the event loop for ms milliseconds.
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

long gettidNow()
{
    return static_cast<long>(syscall(SYS_gettid));
}

// CPU time of one thread of this process in ns: schedstat when the kernel
// keeps it, else utime + stime in clock ticks.
long long threadCpuNs(long tid)
{
    char path[96];
    snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat", tid);
    if (FILE *f = fopen(path, "r")) {
        long long run = -1;
        const int got = fscanf(f, "%lld", &run);
        fclose(f);
        if (got == 1 && run > 0)
            return run;
    }
    snprintf(path, sizeof path, "/proc/self/task/%ld/stat", tid);
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char buf[1024];
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');
    if (!p)
        return -1;
    unsigned long long utime = 0, stime = 0;
    // Fields after the command: state is field 3, utime 14, stime 15.
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<long long>((utime + stime) * (1000000000ULL / sysconf(_SC_CLK_TCK)));
}

long findThread(const char *comm)
{
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return -1;
    long found = -1;
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (!e) {
            if (errno)
                fail("cannot read /proc/self/task");
            break;
        }
        if (e->d_name[0] == '.')
            continue;
        char path[300], name[64] = {};
        snprintf(path, sizeof path, "/proc/self/task/%s/comm", e->d_name);
        if (FILE *f = fopen(path, "r")) {
            if (fgets(name, sizeof name, f)) {
                name[strcspn(name, "\n")] = '\0';
                if (strcmp(name, comm) == 0)
                    found = atol(e->d_name);
            }
            fclose(f);
        }
    }
    closedir(d);
    return found;
}

long long childrenCpuNs()
{
    rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000000LL
        + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1000LL;
}

// ---------------------------------------------------------------------------
// Send path.

std::string classifyAllocation(const std::vector<std::string> &stack)
{
    for (const std::string &f : stack)
        if (f.rfind("QMessageLogger::", 0) == 0 || f.find("qt_message_output") != std::string::npos)
            return "Qt debug logger (QMessageLogger::debug: message text, formatting, local 8-bit copy)";
    for (const std::string &f : stack)
        if (f == "write")
            return "simulated display's write record (the interposed write(), floor)";
    for (const std::string &f : stack)
        if (f.find("QWidget::update") != std::string::npos || f.find("postEvent") != std::string::npos)
            return "Qt repaint request (QWidget::update -> postEvent)";
    for (const std::string &f : stack)
        if (f.find("operator new") == std::string::npos && f.find("malloc") == std::string::npos)
            return "other: " + f;
    return "other";
}

const unsigned char kHeader[6] = {0x04, 0xAA, 0x01, 0x00, 0x00, 0x00};

bool isReport(const std::vector<unsigned char> &bytes, int level)
{
    if (bytes.size() != 38 || memcmp(bytes.data(), kHeader, 6) != 0 || bytes[6] != level)
        return false;
    return std::all_of(bytes.begin() + 7, bytes.end(), [](unsigned char b) { return b == 0; });
}

int benchSend(QApplication &app, int sends)
{
    simhid::reset();
    simhid::present(0, 3, 0x0483, 0x5750);
    MainWindow w;
    w.setWindowTitle("brightness");
    w.show();
    spin(100);
    auto *slider = w.findChild<QSlider *>("horizontalSlider");
    if (!slider || !m_sn)
        fail("send: no slider or no device handle after the start-up search");
    const int deviceFd = static_cast<int>(m_sn->socket());

    // Floors: plain write() calls of a 38-byte report on the tool's own
    // device descriptor, through the same interposed write() (level 0x55,
    // which no slider position gives, tells them apart), and on a bare
    // SEQPACKET socket for reference.
    const int simFd = deviceFd;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        fail("send: floor socket");
    const int floorLevel = 0x55;
    unsigned char report[38] = {0x04, 0xAA, 0x01, 0x00, 0x00, 0x00, floorLevel};
    char sink[128];

    auto floorSim = [&] {
        const long long t0 = nowNs();
        const ssize_t r = ::write(simFd, report, sizeof report);
        const long long t1 = nowNs();
        if (r != 38)
            fail("send: floor write on the simulated descriptor failed");
        return t1 - t0;
    };
    auto floorRaw = [&] {
        const long long t0 = nowNs();
        const ssize_t r = ::write(pair[0], report, sizeof report);
        const long long t1 = nowNs();
        if (r != 38 || recv(pair[1], sink, sizeof sink, MSG_DONTWAIT) != 38)
            fail("send: floor write on the bare socket failed");
        return t1 - t0;
    };
    // What the send is made of besides the write: Qt's slider without any
    // slot, and the two debug lines.
    auto *bare = new QSlider(Qt::Horizontal, slider->parentWidget());
    bare->setGeometry(47, 60, 320, 20);
    bare->setRange(0, 10);
    bare->setValue(10);
    bare->show();
    auto bareChange = [&](int value) {
        const long long t0 = nowNs();
        bare->setValue(value);
        return nowNs() - t0;
    };
    auto *wired = new EmptySlot(&w);
    wired->show();
    auto wiredChange = [&](int value) {
        const long long t0 = nowNs();
        wired->slider->setValue(value);
        return nowNs() - t0;
    };
    auto actionLine = [&](int value) {
        const long long t0 = nowNs();
        debugLog().debug("action == %d", value);
        return nowNs() - t0;
    };
    auto succeedLine = [&] {
        const long long t0 = nowNs();
        debugLog().debug("1 send succeed");
        return nowNs() - t0;
    };

    int step = 0;
    auto nextValue = [&] { return (step++ & 1) ? 3 : 7; };
    auto oneSend = [&](int value) {
        const long long t0 = nowNs();
        slider->setValue(value);
        const long long t1 = nowNs();
        return t1 - t0;
    };

    // Warm-up; the sim's record vector keeps its capacity after clearing.
    for (int i = 0; i < std::max(sends, 2000); ++i) {
        floorSim();
        floorRaw();
        oneSend(nextValue());
        app.processEvents();
        bareChange((i & 1) ? 3 : 7);
        app.processEvents();
        wiredChange((i & 1) ? 3 : 7);
        app.processEvents();
    }
    simhid::clearRecords();

    std::vector<long long> tSend, tSim, tRaw, tBare, tWired, tAction, tSucceed;
    std::vector<int> sentLevels;
    sentLevels.reserve(sends);
    // One of each per round, every one of them right after a pass of the
    // event loop (which paints what the previous change asked for), so all
    // meet the same state of caches and load.
    for (int i = 0; i < sends; ++i) {
        const int other = (i & 1) ? 3 : 7;
        app.processEvents();
        tSim.push_back(floorSim());
        app.processEvents();
        tRaw.push_back(floorRaw());
        app.processEvents();
        tBare.push_back(bareChange(other));
        app.processEvents();
        tWired.push_back(wiredChange(other));
        app.processEvents();
        tAction.push_back(actionLine(other));
        app.processEvents();
        tSucceed.push_back(succeedLine());
        app.processEvents();
        const int v = nextValue();
        tSend.push_back(oneSend(v));
        sentLevels.push_back(v * 10);
    }
    app.processEvents();

    // Every change reached the display as one whole report, in order.
    const std::vector<simhid::WriteRecord> writes = simhid::writes();
    size_t onDevice = 0, onFloor = 0;
    bool ok = true;
    for (const simhid::WriteRecord &r : writes) {
        if (r.fd != deviceFd) {
            ok = false;
        } else if (r.bytes.size() > 6 && r.bytes[6] == floorLevel) {
            ++onFloor;
        } else {
            ok = ok && onDevice < sentLevels.size() && r.result == 38
                && isReport(r.bytes, sentLevels[onDevice]);
            ++onDevice;
        }
    }
    ok = ok && onDevice == static_cast<size_t>(sends) && onFloor == static_cast<size_t>(sends);
    out("send.count", sends);
    out("send.verified", ok ? 1 : 0);
    out("send.median_ns", percentile(tSend, 50));
    out("send.p99_ns", percentile(tSend, 99));
    out("send.floor_sim_median_ns", percentile(tSim, 50));
    out("send.floor_sim_p99_ns", percentile(tSim, 99));
    out("send.floor_raw_median_ns", percentile(tRaw, 50));
    out("send.floor_raw_p99_ns", percentile(tRaw, 99));
    out("send.bare_slider_median_ns", percentile(tBare, 50));
    out("send.wired_slider_median_ns", percentile(tWired, 50));
    out("send.log_action_median_ns", percentile(tAction, 50));
    out("send.log_succeed_median_ns", percentile(tSucceed, 50));

    // Heap allocations, counted apart from the timing.
    const int counted = 1000;
    alloccount::reset();
    for (int i = 0; i < counted; ++i) {
        const int v = nextValue();
        alloccount::resume();
        slider->setValue(v);
        alloccount::pause();
        app.processEvents();
    }
    out("send.allocs_per_send", static_cast<double>(alloccount::pause()) / counted);

    alloccount::reset();
    alloccount::resume();
    for (int i = 0; i < counted; ++i)
        ::write(simFd, report, sizeof report);
    out("send.floor_sim_allocs", static_cast<double>(alloccount::pause()) / counted);

    alloccount::reset();
    alloccount::resume();
    for (int i = 0; i < counted; ++i) {
        ::write(pair[0], report, sizeof report);
        recv(pair[1], sink, sizeof sink, MSG_DONTWAIT);
    }
    out("send.floor_raw_allocs", static_cast<double>(alloccount::pause()) / counted);

    alloccount::reset();
    alloccount::resume();
    for (int i = 0; i < counted; ++i)
        debugLog().debug("action == %d", i % 11);
    out("send.logger_line_allocs", static_cast<double>(alloccount::pause()) / counted);

    // Where the allocations of a send come from, by call stack.
    const int traced = 200;
    alloccount::reset();
    for (int i = 0; i < traced; ++i) {
        const int v = nextValue();
        alloccount::resume(true);
        slider->setValue(v);
        alloccount::pause();
        app.processEvents();
    }
    for (const alloccount::Site &s : alloccount::sites(classifyAllocation)) {
        char line[2048];
        snprintf(line, sizeof line, "%.2f\t%s\t%s", static_cast<double>(s.count) / traced,
                 s.where.c_str(), s.example.c_str());
        outText("send.alloc_site", line);
    }
    alloccount::reset();
    for (int i = 0; i < traced; ++i) {
        alloccount::resume(true);
        ::write(simFd, report, sizeof report);
        alloccount::pause();
    }
    for (const alloccount::Site &s : alloccount::sites(classifyAllocation)) {
        char line[2048];
        snprintf(line, sizeof line, "%.2f\t%s\t%s", static_cast<double>(s.count) / traced,
                 s.where.c_str(), s.example.c_str());
        outText("send.floor_alloc_site", line);
    }
    simhid::clearRecords();
    return 0;
}

// ---------------------------------------------------------------------------
// Device search.

void runSearch(MainWindow &w)
{
    MY_flag.store(1, std::memory_order_relaxed);
    QMetaObject::invokeMethod(&w, "on_ConnectUSB", Qt::DirectConnection);
}

int benchSearch(QApplication &, int repeats)
{
    simhid::reset();
    MainWindow w;
    w.setWindowTitle("brightness");
    w.show();
    spin(100);
    auto *label = w.findChild<QLabel *>("label_2");
    if (!label)
        fail("search: no status label");

    // Searches come after the machine has been idle (start-up, a hot-plug
    // tick), so every timed run here starts after a pause as well.
    auto pause = [] { usleep(250000); };
    // The one command a search runs with the display at node 9 (absent
    // nodes get none).
    auto floor = [&] {
        pause();
        const long long t0 = nowNs();
        (void)system("sudo chmod 777 /dev/hidraw9");
        return nowNs() - t0;
    };
    // What a search of ten absent nodes cannot do without: try each.
    auto opensFloor = [&] {
        simhid::absent(9);
        pause();
        const long long t0 = nowNs();
        char path[32];
        for (int n = 0; n < 10; ++n) {
            snprintf(path, sizeof path, "/dev/hidraw%d", n);
            if (access(path, R_OK | W_OK) != 0) {
                const int fd = open(path, O_RDWR | O_CLOEXEC);
                if (fd >= 0)
                    close(fd);
            }
        }
        return nowNs() - t0;
    };
    auto absent = [&] {
        simhid::absent(9);
        pause();
        const long long t0 = nowNs();
        runSearch(w);
        return nowNs() - t0;
    };
    auto atNine = [&] {
        simhid::present(9, 3, 0x0483, 0x5750);
        pause();
        const long long t0 = nowNs();
        runSearch(w);
        return nowNs() - t0;
    };

    for (int i = 0; i < 2; ++i) {
        floor();
        opensFloor();
        absent();
        atNine();
    }
    std::vector<long long> tFloor, tOpens, tAbsent, tNine;
    bool ok = true;
    for (int r = 0; r < repeats; ++r) {
        int before = lineCount(g_sudoLog);
        tFloor.push_back(floor());
        ok = ok && lineCount(g_sudoLog) - before == 1;
        tOpens.push_back(opensFloor());

        before = lineCount(g_sudoLog);
        tAbsent.push_back(absent());
        ok = ok && lineCount(g_sudoLog) == before
            && label->text() == QString::fromUtf8("未找到可连接设备");

        before = lineCount(g_sudoLog);
        tNine.push_back(atNine());
        ok = ok && lineCount(g_sudoLog) - before == 1
            && label->text() == QString::fromUtf8("设备已连接");
    }
    out("search.repeats", repeats);
    out("search.verified", ok ? 1 : 0);
    out("search.floor_median_ns", percentile(tFloor, 50));
    out("search.opens_floor_median_ns", percentile(tOpens, 50));
    out("search.absent_median_ns", percentile(tAbsent, 50));
    out("search.node9_median_ns", percentile(tNine, 50));
    out("search.absent_max_ns", percentile(tAbsent, 100));
    out("search.node9_max_ns", percentile(tNine, 100));
    return 0;
}

// ---------------------------------------------------------------------------
// Hot-plug path.

// Notes when the tool's 1 s timer fires, before its slot runs.
class TickStart : public QObject
{
public:
    long long at = 0;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Timer)
            at = nowNs();
        return false;
    }
};

std::atomic<long> g_monitorLines{0};
QtMessageHandler g_previousHandler = nullptr;

void countingHandler(QtMsgType type, const QMessageLogContext &ctx, const QString &text)
{
    if (text.startsWith(QLatin1String("123456=")))
        g_monitorLines.fetch_add(1, std::memory_order_relaxed);
    g_previousHandler(type, ctx, text);
}

// A bare uevent reader set up like the monitor's socket: the floor of the
// monitor thread's work per event.
struct FloorReader {
    std::atomic<bool> stop{false};
    std::atomic<bool> ready{false};
    std::atomic<long> received{0};
    std::atomic<long> tid{-1};
    std::thread thread;

    void start()
    {
        thread = std::thread([this] {
            tid = gettidNow();
            const int s = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
            const int size = 1024;
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            timeval tv{0, 100000};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            sockaddr_nl a{};
            a.nl_family = AF_NETLINK;
            a.nl_groups = 1;
            if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                ready = true;
                return;
            }
            ready = true;
            char buf[4096];
            while (!stop.load()) {
                if (recv(s, buf, sizeof buf, 0) >= 0)
                    received.fetch_add(1, std::memory_order_relaxed);
            }
            close(s);
        });
        while (!ready)
            std::this_thread::yield();
    }
    void finish()
    {
        stop = true;
        thread.join();
    }
};

// Writes count uevents from another thread as fast as they go while this
// thread runs the event loop; returns when they are written.
struct Burst {
    long long start = 0, end = 0;
    long errors = 0;
};

Burst writeBurst(int uevent, int count)
{
    Burst b;
    std::atomic<bool> written{false};
    std::thread writer([&] {
        b.start = nowNs();
        for (int i = 0; i < count; ++i)
            if (pwrite(uevent, "change", 6, 0) != 6)
                ++b.errors;
        b.end = nowNs();
        written = true;
    });
    while (!written)
        spin(50);
    writer.join();
    return b;
}

int benchHotplug(QApplication &, int events, int burst)
{
    const int uevent = ::open("/sys/class/net/lo/uevent", O_WRONLY | O_CLOEXEC);
    if (uevent < 0 || pwrite(uevent, "change", 6, 0) != 6) {
        out("hotplug.skipped", 1);
        fprintf(g_err, "bench_inproc: hotplug needs root to write /sys/class/net/lo/uevent\n");
        return 0;
    }
    // The floor of the burst first, while no monitor exists yet: a bare
    // reader set up like the monitor's socket is the only listener.
    long floorGot = 0;
    long long floorCpu = 0;
    if (burst > 0) {
        FloorReader reader;
        reader.start();
        const long long before = threadCpuNs(reader.tid);
        writeBurst(uevent, burst);
        spin(300);
        floorCpu = threadCpuNs(reader.tid) - before;
        reader.finish();
        floorGot = reader.received.load();
    }

    simhid::reset();
    MainWindow w;
    w.setWindowTitle("brightness");
    w.show();
    auto *label = w.findChild<QLabel *>("label_2");
    QTimer *tick = nullptr;
    for (QTimer *t : w.findChildren<QTimer *>())
        if (t->isActive() && t->interval() == 1000)
            tick = t;
    if (!label || !tick)
        fail("hotplug: no status label or no 1 s timer");
    TickStart tickStart;
    tick->installEventFilter(&tickStart);

    // What each tick did, noted after the tool's slot has run.
    struct TickRecord { long long start, end; bool searched; };
    std::vector<TickRecord> ticks;
    int searchCount = searchesSoFar();
    std::function<void()> onTickEnd;
    QObject::connect(tick, &QTimer::timeout, [&] {
        const int now = searchesSoFar();
        ticks.push_back({tickStart.at, nowNs(), now != searchCount});
        searchCount = now;
        if (onTickEnd)
            onTickEnd();
    });

    // The longest time the event loop did not run, from a 5 ms probe.
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    long long lastProbe = 0, longestStall = 0;
    bool probing = false;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const long long t = nowNs();
        if (probing && lastProbe)
            longestStall = std::max(longestStall, t - lastProbe);
        lastProbe = t;
    });
    probe.start(5);
    spin(1500);

    // Uevent to status label: the display alternately plugged in and
    // removed at node 9, each event at a random phase of the tick.
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> phase(0, 999);
    std::vector<long long> latency, waited, searched, stalls;
    int missed = 0;
    probing = true;
    for (int k = 0; k < events; ++k) {
        spin(phase(rng));
        const bool plug = k % 2 == 0;
        const QString expected = QString::fromUtf8(plug ? "设备已连接" : "未找到可连接设备");
        if (plug)
            simhid::present(9, 3, 0x0483, 0x5750);
        else
            simhid::absent(9);
        QEventLoop loop;
        long long seen = 0;
        onTickEnd = [&] {
            if (label->text() == expected) {
                seen = nowNs();
                loop.quit();
            }
        };
        QTimer::singleShot(3000, &loop, &QEventLoop::quit);
        longestStall = 0;
        const long long sent = nowNs();
        if (pwrite(uevent, "change", 6, 0) != 6)
            fail("hotplug: uevent write failed");
        loop.exec();
        onTickEnd = nullptr;
        // The probe's first turn after the search ends the stall.
        spin(30);
        stalls.push_back(longestStall);
        if (!seen) {
            ++missed;
            continue;
        }
        const TickRecord &t = ticks.back();
        latency.push_back(seen - sent);
        waited.push_back(t.start - sent);
        searched.push_back(seen - t.start);
    }
    probing = false;
    out("hotplug.events", events);
    out("hotplug.missed", missed);
    out("hotplug.latency_median_ns", percentile(latency, 50));
    out("hotplug.latency_max_ns", percentile(latency, 100));
    out("hotplug.wait_median_ns", percentile(waited, 50));
    out("hotplug.search_median_ns", percentile(searched, 50));
    out("hotplug.stall_median_ns", percentile(stalls, 50));
    out("hotplug.stall_max_ns", percentile(stalls, 100));

    if (burst <= 0)
        return 0;
    // Burst: the display stays at node 9, so every search tries ten nodes
    // and runs one command.
    probe.stop();
    simhid::present(9, 3, 0x0483, 0x5750);
    spin(2200);
    g_previousHandler = qInstallMessageHandler(countingHandler);
    const long monitorTid = findThread("MyThread");
    const long guiTid = gettidNow();
    if (monitorTid < 0)
        fail("hotplug: monitor thread not found");
    const long long monitorBefore = threadCpuNs(monitorTid);
    const long long guiBefore = threadCpuNs(guiTid);
    const long long childrenBefore = childrenCpuNs();
    const int searchesBefore = searchesSoFar();
    const size_t ticksBefore = ticks.size();

    const Burst b = writeBurst(uevent, burst);
    // Long enough for the next tick and its search to run to the end.
    spin(2500);

    const long long monitorCpu = threadCpuNs(monitorTid) - monitorBefore;
    const long long guiCpu = threadCpuNs(guiTid) - guiBefore;
    const long long childrenCpu = childrenCpuNs() - childrenBefore;
    qInstallMessageHandler(g_previousHandler);
    int searchesAfter = 0;
    for (size_t i = ticksBefore; i < ticks.size(); ++i)
        searchesAfter += ticks[i].searched && ticks[i].start >= b.end;
    const long monitorGot = g_monitorLines.load();
    const long long burstStart = b.start, burstEnd = b.end;
    const long writeErrors = b.errors;

    out("burst.events", burst);
    out("burst.write_errors", writeErrors);
    out("burst.duration_ns", static_cast<double>(burstEnd - burstStart));
    out("burst.monitor_received", monitorGot);
    out("burst.floor_received", floorGot);
    out("burst.monitor_cpu_ns", monitorCpu);
    out("burst.floor_cpu_ns", floorCpu);
    out("burst.monitor_cpu_per_event_ns", monitorGot ? static_cast<double>(monitorCpu) / monitorGot : NAN);
    out("burst.floor_cpu_per_event_ns", floorGot ? static_cast<double>(floorCpu) / floorGot : NAN);
    out("burst.gui_cpu_ns", guiCpu);
    out("burst.children_cpu_ns", childrenCpu);
    out("burst.searches", searchesSoFar() - searchesBefore);
    out("burst.searches_after_burst", searchesAfter);
    out("burst.window_s", static_cast<double>(nowNs() - burstStart) / 1e9);
    out("burst.label_connected", label->text() == QString::fromUtf8("设备已连接") ? 1 : 0);
    close(uevent);
    return 0;
}

// ---------------------------------------------------------------------------
// Why the device notifier is created disabled: the display's acknowledgement
// waits unread on the descriptor, and nothing reads on activation.

long long selfSwitches()
{
    char path[96];
    snprintf(path, sizeof path, "/proc/self/task/%ld/status", gettidNow());
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    long long sum = 0;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        long long v = 0;
        if (sscanf(line, "voluntary_ctxt_switches: %lld", &v) == 1
            || sscanf(line, "nonvoluntary_ctxt_switches: %lld", &v) == 1)
            sum += v;
    }
    fclose(f);
    return sum;
}

int benchNotifier(QApplication &, int ms)
{
    simhid::reset();
    simhid::present(0, 3, 0x0483, 0x5750);
    simhid::setAutoAck(0, true);
    MainWindow w;
    w.setWindowTitle("brightness");
    w.show();
    spin(200);
    auto *slider = w.findChild<QSlider *>("horizontalSlider");
    if (!slider || !m_sn)
        fail("notifier: no slider or no device handle");
    slider->setValue(5);   // the display answers with 04 AA 02
    auto measure = [&](const char *key) {
        const long tid = gettidNow();
        const long long cpu0 = threadCpuNs(tid), sw0 = selfSwitches(), t0 = nowNs();
        spin(ms);
        const double secs = static_cast<double>(nowNs() - t0) / 1e9;
        const std::string k = std::string("notifier.") + key;
        out((k + ".gui_cpu_ms_per_s").c_str(), static_cast<double>(threadCpuNs(tid) - cpu0) / 1e6 / secs);
        out((k + ".gui_switches_per_s").c_str(), static_cast<double>(selfSwitches() - sw0) / secs);
    };
    measure("shipped");
    m_sn->setEnabled(true);
    measure("enabled");
    m_sn->setEnabled(false);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s send [sends] | search [repeats] | hotplug [events] [burst] | notifier [ms]\n", argv[0]);
        return 2;
    }
    const std::string what = argv[1];
    const int n1 = argc > 2 ? atoi(argv[2]) : 0;
    const int n2 = argc > 3 ? atoi(argv[3]) : 0;

    // The stand-in sudo first on PATH, recording into a fresh log.
    const char *sudoDir = getenv("BENCH_SUDO_DIR");
    const std::string path = std::string(sudoDir && *sudoDir ? sudoDir : BENCH_SUDO_DIR) + ":"
        + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    setenv("PATH", path.c_str(), 1);
    char sudoLog[] = "/tmp/bench-sudo-XXXXXX";
    const int logFd = mkstemp(sudoLog);
    if (logFd < 0)
        fail("mkstemp");
    close(logFd);
    g_sudoLog = sudoLog;
    setenv("SIMSUDO_LOG", sudoLog, 1);
    if (!getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // The tool's diagnostics to /dev/null, as in every measurement here.
    const int keep = dup(STDERR_FILENO);
    g_err = fdopen(keep, "w");
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    close(null);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    QApplication app(argc, argv);
    int rc = 2;
    if (what == "send")
        rc = benchSend(app, n1 > 0 ? n1 : 10000);
    else if (what == "search")
        rc = benchSearch(app, n1 > 0 ? n1 : 15);
    else if (what == "notifier")
        rc = benchNotifier(app, n1 > 0 ? n1 : 2000);
    else if (what == "hotplug")
        rc = benchHotplug(app, n1 > 0 ? n1 : 16, argc > 3 ? n2 : 10000);
    else
        fprintf(g_err, "bench_inproc: unknown benchmark %s\n", what.c_str());
    unlink(sudoLog);
    fflush(stdout);
    // The monitor thread never ends; leave without tearing Qt down under it.
    _exit(rc);
}

#include "inproc.moc"
