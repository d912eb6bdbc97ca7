#include <QtTest>

#include <memory>
#include <utility>
#include <sstream>

#include <linux/input.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../support/sysfstree.h"
#include "controller.h"
#include "simhid.h"
#include "values.h"

// brightness-idle's controller, in-process, against the simulated display,
// as its loop drives it: given times, input devices that are socket pairs
// carrying the kernel's input events (their grabs are the guest's to prove).
class tst_Loop : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void script_data();
    void script();
};

namespace {

// Runs a script of timed events. Tokens: "T" runs the timer at every
// deadline up to T ms; "Ti0" a touch on device 0; "To", "Tl", "Tf" the
// record set to off, lit, or a forged "off:idle" by another program; "Ta1"
// device 1 plugged in; "Tx0" device 0 hung up; "Ts" SIGTERM; "Tk" the
// program killed and started again. What is written to the display is noted as
// "T:LEVEL", T the time of the event that wrote it.
struct Rig {
    testutil::SysfsTree sysfs;
    std::ostringstream messages;
    control::Log log{messages, "brightness-idle"};
    std::unique_ptr<idle::Controller> controller;
    int peers[4] = {-1, -1, -1, -1};
    QStringList written;
    long long nowNs = 0;  // the time of the event being handled

    ~Rig()
    {
        for (int fd : peers)
            if (fd >= 0)
                close(fd);
    }
    void start(const idle::Options &options)
    {
        control::Environment env{sysfs.path(), sysfs.stateDir(), &messages, &messages};
        env.program = "brightness-idle";
        controller.reset();
        for (int &fd : peers)
            if (fd >= 0)
                close(std::exchange(fd, -1));
        // A darkening takes this long on the display, as a slow record's
        // write would: what counts from its end must count from there.
        controller = std::make_unique<idle::Controller>(options, env, log, nowNs, [this] { return nowNs + 7000000; });
        plug(0);
        controller->begin(nowNs);
    }
    void plug(int n)
    {
        int pair[2];
        QVERIFY(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0);
        peers[n] = pair[1];
        controller->added(controller->devices().adopt("/dev/input/event" + std::to_string(n), pair[0], true));
    }
    idle::InputDevice *device(int n)
    {
        for (idle::InputDevice &d : controller->devices().devices())
            if (d.path == "/dev/input/event" + std::to_string(n))
                return &d;
        return nullptr;
    }
    void note(long long ms)
    {
        const auto writes = simhid::writes();
        for (std::size_t i = std::size_t(written.size()); i < writes.size(); ++i)
            written << QString("%1:%2").arg(ms).arg(int(writes[i].bytes[6]));
    }
    void touch(int n, long long ms)
    {
        const input_event events[2] = {{{0, 0}, EV_KEY, BTN_TOUCH, 1}, {{0, 0}, EV_SYN, SYN_REPORT, 0}};
        QVERIFY(write(peers[n], events, sizeof events) == ssize_t(sizeof events));
        idle::InputDevice *d = device(n);
        QVERIFY(d);
        nowNs = ms * 1000000;
        QVERIFY(controller->input(*d, true, nowNs));
    }
    void hangUp(int n, long long ms)
    {
        close(peers[n]);
        peers[n] = -1;
        idle::InputDevice *d = device(n);
        QVERIFY(d);
        // As the loop does with a device gone.
        QVERIFY(!controller->input(*d, false, ms * 1000000));
        controller->devices().remove(d->path);
    }
    void runUntil(long long ms)
    {
        for (long long due; (due = controller->deadline()) >= 0 && due <= ms * 1000000;) {
            nowNs = due;
            controller->timer(due);
            note((due + 999999) / 1000000);
        }
    }
};

QString stageName(idle::Stage s)
{
    return s == idle::Stage::Lit ? "lit" : s == idle::Stage::Dimmed ? "dimmed" : "off";
}

} // namespace

void tst_Loop::init()
{
    simhid::reset();
}

void tst_Loop::script_data()
{
    QTest::addColumn<int>("dim");     // percent, -1: off at once
    QTest::addColumn<int>("fadeMs");
    QTest::addColumn<QString>("calls");
    QTest::addColumn<QString>("writes");
    QTest::addColumn<QString>("stage");
    QTest::addColumn<int>("devices");
    QTest::addColumn<bool>("held");   // a grab was tried (a socket pair refuses it)

    // Remembered 60%; --after 30s, --off-after 60s with a dim.
    QTest::newRow("dim and off on time, off counted from the dim's end") << 20 << 0 << "100000"
                                                                          << "30000:20 90007:0" << "off" << 1 << true;
    QTest::newRow("the fade's steps at its plan") << -1 << 100 << "40000"
                                                 << "30020:48 30040:36 30060:24 30080:12 30100:0" << "off" << 1 << true;
    QTest::newRow("a wake during a fade ends it, one report") << -1 << 100 << "30050 30050i0 31000"
                                                             << "30020:48 30040:36 30050:60" << "lit" << 1 << false;
    QTest::newRow("a touch while off wakes once") << -1 << 0 << "31000 40000i0 40010i0"
                                                  << "30000:0 40000:60" << "lit" << 1 << true;
    QTest::newRow("a touch restarts the quiet time") << -1 << 0 << "20000i0 49999 50000"
                                                    << "50000:0" << "off" << 1 << true;
    QTest::newRow("someone else's off: not held, not woken, not darkened")
        << 20 << 0 << "10000o 69999 70000i0 200000" << "" << "off" << 1 << false;
    QTest::newRow("someone else's off, then lit: the clock anew") << 20 << 0 << "10000o 20000l 49999 50000"
                                                                  << "50000:20" << "dimmed" << 1 << false;
    QTest::newRow("a forged idle off swallows no touch") << -1 << 0 << "10000f 20000i0 100000"
                                                         << "" << "off" << 1 << false;
    QTest::newRow("lit by another program while dimmed") << 20 << 0 << "30000 40000l 69999 70000"
                                                         << "30000:20 70000:20" << "dimmed" << 1 << false;
    QTest::newRow("a device plugged in wakes it") << -1 << 0 << "30000 35000a1 36000i1"
                                                  << "30000:0 36000:60" << "lit" << 2 << true;
    QTest::newRow("a device gone is dropped, the others still wake") << -1 << 0 << "1000a1 2000x0 31000 33000i1"
                                                                     << "30000:0 33000:60" << "lit" << 1 << true;
    QTest::newRow("no input device: no darkening") << -1 << 0 << "1000x0 100000" << "" << "lit" << 0 << false;
    QTest::newRow("SIGTERM while off gives the screen back") << -1 << 0 << "31000 31000s"
                                                             << "30000:0 31000:60" << "lit" << 1 << true;
    QTest::newRow("SIGTERM during a fade ends it lit") << -1 << 100 << "30050 30050s"
                                                       << "30020:48 30040:36 30050:60" << "lit" << 1 << false;
    QTest::newRow("SIGTERM leaves someone else's off") << -1 << 0 << "10000o 10000s" << "" << "off" << 1 << false;
    QTest::newRow("a dim left by a killed run is ended by the next") << 20 << 0 << "30000 40000k 69999"
                                                                     << "30000:20 40000:60" << "lit" << 1 << false;
}

void tst_Loop::script()
{
    QFETCH(int, dim);
    QFETCH(int, fadeMs);
    QFETCH(QString, calls);
    QFETCH(QString, writes);
    QFETCH(QString, stage);
    QFETCH(int, devices);
    QFETCH(bool, held);

    Rig rig;
    simhid::present(0, 3, 0x0483, 0x5750);
    QVERIFY(rig.sysfs.stagePlace(0, testutil::usbDevicePath(1, 0x0483, 0x5750, 1), testutil::hidId(0x0483, 0x5750)));
    const std::string place = testutil::placeOf(1);
    QVERIFY(rig.sysfs.setRecord(place + " 0483:5750 60 1\n"));
    idle::Options options;
    options.plan = {30000000000LL, dim, dim < 0 ? -1 : 60000000000LL};
    options.fadeMs = fadeMs;
    rig.start(options);

    for (const QString &call : calls.split(' ')) {
        const QRegularExpressionMatch m = QRegularExpression("^(\\d+)([iolfaxsk]?)(\\d?)$").match(call);
        QVERIFY2(m.hasMatch(), qPrintable(call));
        const long long ms = m.captured(1).toLongLong();
        const QString op = m.captured(2);
        const int n = m.captured(3).toInt();
        rig.runUntil(ms);
        if (op == "i") {
            rig.touch(n, ms);
        } else if (op == "o" || op == "l" || op == "f") {
            const char *state = op == "o" ? "off" : op == "l" ? "on" : "off:idle";
            QVERIFY(rig.sysfs.setRecord(place + " 0483:5750 60 7 " + state + "\n"));
            rig.nowNs = ms * 1000000;
            rig.controller->recordChanged(rig.nowNs);
        } else if (op == "a") {
            rig.plug(n);
        } else if (op == "x") {
            rig.hangUp(n, ms);
        } else if (op == "s") {
            rig.nowNs = ms * 1000000;
            rig.controller->stop();
        } else if (op == "k") {
            rig.nowNs = ms * 1000000;
            rig.start(options);
        }
        rig.note(ms);
    }
    QCOMPARE(rig.written.join(' '), writes);
    QCOMPARE(stageName(rig.controller->stage()), stage);
    QCOMPARE(int(rig.controller->devices().devices().size()), devices);
    QCOMPARE(rig.messages.str().find("cannot hold it") != std::string::npos, held);
    // The record keeps the remembered level whatever the screen went through.
    control::Record record;
    QVERIFY(control::parseRecord(rig.sysfs.record(), &record));
    QCOMPARE(record.entries.size(), std::size_t(1));
    QCOMPARE(record.entries[0].level, 60);
}

QTEST_APPLESS_MAIN(tst_Loop)
#include "tst_loop.moc"
