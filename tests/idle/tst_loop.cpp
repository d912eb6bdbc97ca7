#include <QtTest>

#include <memory>
#include <utility>
#include <sstream>

#include <linux/input.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../support/sysfstree.h"
#include "idle/controller.h"
#include "idle/night.h"
#include "control/screenstate.h"
#include "simhid.h"
#include "control/values.h"

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
    void ambient_data();
    void ambient();
};

namespace {

// Runs a script of timed events. Tokens: "T" runs the timer at every
// deadline up to T ms; "Ti0" a touch on device 0; "To", "Tl", "Tf" the
// record set to off, lit, or a forged "off:idle" by another program; "Ta1"
// device 1 plugged in; "Tp1" a presence sensor as device 1, "Td1" and "Tu1"
// its key down and up; "Tx0" device 0 hung up; "Ts" SIGTERM; "Tk" the
// program killed and started again; "Tw" Home Assistant's wake, "Th" and
// "TH" its stay awake on and off; "Tn" and "TN" an inhibitor taken and gone. What is written to the display is noted as
// "T:LEVEL", T the time of the event that wrote it. "Tt": the loop late,
// its timer run first at T, whatever was due before. "Tj0": device 0 seen
// readable by the loop's own wait, before anything is read (touched()).
struct Rig {
    testutil::SysfsTree sysfs;
    std::ostringstream messages;
    control::Log log{messages, "brightness-idle"};
    std::unique_ptr<idle::Controller> controller;
    int peers[4] = {-1, -1, -1, -1};
    QStringList written;
    long long nowNs = 0;  // the time of the event being handled
    long long wallBase = -1;  // the wall clock at 0, seconds; -1: the real one

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
        if (wallBase >= 0)
            controller->setWallClock([this] { return wallBase + nowNs / 1000000000; });
        plug(0);
        controller->begin(nowNs);
    }
    void plug(int n, bool presence = false)
    {
        int pair[2];
        QVERIFY(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0);
        peers[n] = pair[1];
        controller->added(controller->devices().adopt("/dev/input/event" + std::to_string(n), pair[0], true, presence));
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
    void touch(int n, long long ms, unsigned short code = BTN_TOUCH, int value = 1)
    {
        const input_event events[2] = {{{0, 0}, EV_KEY, code, value}, {{0, 0}, EV_SYN, SYN_REPORT, 0}};
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
    // The display on hidraw0 at its bus place; "" when it cannot be staged.
    std::string stageDisplay()
    {
        simhid::present(0, 3, 0x0483, 0x5750);
        if (!sysfs.stagePlace(0, testutil::usbDevicePath(1, 0x0483, 0x5750, 1), testutil::hidId(0x0483, 0x5750)))
            return std::string();
        return testutil::placeOf(1);
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
    QTest::addColumn<int>("night");   // the night's level from 50 s to 170 s, after 10 s; 0: no night
    QTest::addColumn<int>("remembered");  // the record's level at start; 0: no record, a fresh install

    // Remembered 60%; --after 30s, --off-after 60s with a dim.
    QTest::newRow("dim and off on time, off counted from the dim's end") << 20 << 0 << "100000"
                                                                          << "30000:20 90007:0" << "off" << 1 << true << 0 << 60;
    QTest::newRow("the fade's steps at its plan") << -1 << 100 << "40000"
                                                 << "30020:48 30040:36 30060:24 30080:12 30100:0" << "off" << 1 << true << 0 << 60;
    // The window may have set a level below the record's: a dim never
    // passes through the record's level on its way down.
    QTest::newRow("a dim with a fade is one report at the dim level") << 20 << 100 << "40000"
                                                                      << "30000:20" << "dimmed" << 1 << false << 0 << 60;
    QTest::newRow("a late loop skips the steps it missed, never the time")
        << -1 << 100 << "30000 30075t 40000" << "30075:24 30080:12 30100:0" << "off" << 1 << true << 0 << 60;
    QTest::newRow("a wake during a fade ends it, one report") << -1 << 100 << "30050 30050i0 31000"
                                                             << "30020:48 30040:36 30050:60" << "lit" << 1 << false << 0 << 60;
    QTest::newRow("a touch while off wakes once") << -1 << 0 << "31000 40000i0 40010i0"
                                                  << "30000:0 40000:60" << "lit" << 1 << true << 0 << 60;
    QTest::newRow("a touch restarts the quiet time") << -1 << 0 << "20000i0 49999 50000"
                                                    << "50000:0" << "off" << 1 << true << 0 << 60;
    QTest::newRow("someone else's off: not held, not woken, not darkened")
        << 20 << 0 << "10000o 69999 70000i0 200000" << "" << "off" << 1 << false << 0 << 60;
    QTest::newRow("someone else's off, then lit: the clock anew") << 20 << 0 << "10000o 20000l 49999 50000"
                                                                  << "50000:20" << "dimmed" << 1 << false << 0 << 60;
    QTest::newRow("a forged idle off swallows no touch") << -1 << 0 << "10000f 20000i0 100000"
                                                         << "" << "off" << 1 << false << 0 << 60;
    QTest::newRow("lit by another program while dimmed") << 20 << 0 << "30000 40000l 69999 70000"
                                                         << "30000:20 70000:20" << "dimmed" << 1 << false << 0 << 60;
    QTest::newRow("a device plugged in wakes it") << -1 << 0 << "30000 35000a1 36000i1"
                                                  << "30000:0 36000:60" << "lit" << 2 << true << 0 << 60;
    QTest::newRow("a device gone is dropped, the others still wake") << -1 << 0 << "1000a1 2000x0 31000 33000i1"
                                                                     << "30000:0 33000:60" << "lit" << 1 << true << 0 << 60;
    QTest::newRow("no input device: no darkening") << -1 << 0 << "1000x0 100000" << "" << "lit" << 0 << false << 0 << 60;
    QTest::newRow("SIGTERM while off gives the screen back") << -1 << 0 << "31000 31000s"
                                                             << "30000:0 31000:60" << "lit" << 1 << true << 0 << 60;
    QTest::newRow("SIGTERM during a fade ends it lit") << -1 << 100 << "30050 30050s"
                                                       << "30020:48 30040:36 30050:60" << "lit" << 1 << false << 0 << 60;
    QTest::newRow("SIGTERM leaves someone else's off") << -1 << 0 << "10000o 10000s" << "" << "off" << 1 << false << 0 << 60;
    QTest::newRow("a dim left by a killed run is ended by the next") << 20 << 0 << "30000 40000k 69999"
                                                                     << "30000:20 40000:60" << "lit" << 1 << false << 0 << 60;
    QTest::newRow("presence keeps it awake; the quiet time counts from its end")
        << -1 << 0 << "1000p1 2000d1 100000 100000u1 129999 130000" << "130000:0" << "off" << 2 << true << 0 << 60;
    QTest::newRow("presence wakes what idle darkened") << -1 << 0 << "1000p1 31000 40000d1"
                                                       << "30000:0 40000:60" << "lit" << 2 << true << 0 << 60;
    QTest::newRow("a person's off is not undone by presence") << -1 << 0 << "1000p1 2000d1 3000o 4000u1 5000d1 100000"
                                                              << "" << "off" << 2 << false << 0 << 60;
    QTest::newRow("stay awake holds past the quiet time") << -1 << 0 << "1000h 100000 100000H 129999 130000"
                                                          << "130000:0" << "off" << 1 << true << 0 << 60;
    QTest::newRow("stay awake wakes") << -1 << 0 << "31000 40000h" << "30000:0 40000:60" << "lit" << 1 << true << 0 << 60;
    QTest::newRow("an inhibitor holds but wakes nothing") << -1 << 0 << "31000 40000n 50000i0 100000 100000N 130000"
                                                          << "30000:0 50000:60 130000:0" << "off" << 1 << true << 0 << 60;
    QTest::newRow("Home Assistant's wake") << 20 << 0 << "31000 40000w" << "30000:20 40000:60" << "lit" << 1 << false
                                           << 0 << 60;
    QTest::newRow("night and day change the level of a lit screen") << -1 << 0 << "1000h 49999 50000 170000"
                                                                     << "50000:10 170000:60" << "lit" << 1 << false << 10 << 60;
    QTest::newRow("a wake at night: the night's level and times") << -1 << 0 << "31000 60000i0 200000 200000i0"
                                                                   << "30000:0 60000:10 70000:0 200000:60" << "lit" << 1
                                                                   << true << 10 << 60;
    QTest::newRow("the night lights no screen that is off") << -1 << 0 << "31000 200000" << "30000:0" << "off" << 1
                                                            << true << 10 << 60;
    QTest::newRow("SIGTERM at night gives back the remembered level") << 20 << 0 << "60000i0 70000 75000s"
                                                                      << "30000:20 60000:10 70000:10 75000:60" << "lit" << 1
                                                                      << false << 10 << 60;
    // A fresh install: what a wake writes first is what it leaves, not the
    // entry's level of 0.
    // The level is written as the loop's wait returns (j), before the
    // bookkeeping (i) writes it again through the library, which it must
    // then not send twice.
    QTest::newRow("nothing remembered: dim, off, a touch lights 100 at once")
        << 20 << 0 << "100000 110000j0 110001i0" << "30000:20 90007:0 110000:100" << "lit" << 1 << true << 0 << 0;
    QTest::newRow("nothing remembered at night: a touch lights the night's level at once")
        << -1 << 0 << "31000 60000j0 60001i0 200000 200000j0 200001i0" << "30000:0 60000:10 70001:0 200000:100"
        << "lit" << 1 << true << 10 << 0;
    QTest::newRow("remembered: the touch's early write is the remembered level")
        << -1 << 0 << "31000 40000j0 40001i0" << "30000:0 40000:60" << "lit" << 1 << true << 0 << 60;
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
    QFETCH(int, night);
    QFETCH(int, remembered);

    Rig rig;
    const std::string place = rig.stageDisplay();
    QVERIFY(!place.empty());
    if (remembered > 0)
        QVERIFY(rig.sysfs.setRecord(place + " 0483:5750 " + std::to_string(remembered) + " 1\n"));
    idle::Options options;
    options.plan = {30000000000LL, dim, dim < 0 ? -1 : 60000000000LL};
    options.fadeMs = fadeMs;
    if (night > 0) {
        std::string why;
        QVERIFY2(idle::parseNight("22:00-22:02", &options.night.schedule, &why), why.c_str());
        options.night.level = night;
        options.night.afterNs = 10000000000LL;
        rig.wallBase = 1767218400 - 50;  // 2025-12-31 22:00 UTC, 50 s later
        qputenv("TZ", "UTC");
        tzset();
    }
    rig.start(options);

    for (const QString &call : calls.split(' ')) {
        const QRegularExpressionMatch m = QRegularExpression("^(\\d+)([iolfaxskpduwhHnNtj]?)(\\d?)$").match(call);
        QVERIFY2(m.hasMatch(), qPrintable(call));
        const long long ms = m.captured(1).toLongLong();
        const QString op = m.captured(2);
        const int n = m.captured(3).toInt();
        if (op != "t")
            rig.runUntil(ms);
        if (op == "t") {
            rig.nowNs = ms * 1000000;
            rig.controller->timer(rig.nowNs);
        } else if (op == "j") {
            rig.nowNs = ms * 1000000;
            QVERIFY(rig.device(n));
            rig.controller->touched(*rig.device(n));
        } else if (op == "i") {
            rig.touch(n, ms);
        } else if (op == "o" || op == "l" || op == "f") {
            const char *state = op == "o" ? "off" : op == "l" ? "on" : "off:idle";
            QVERIFY(rig.sysfs.setRecord(place + " 0483:5750 60 7 " + state + "\n"));
            rig.nowNs = ms * 1000000;
            rig.controller->recordChanged(rig.nowNs);
        } else if (op == "a" || op == "p") {
            rig.plug(n, op == "p");
        } else if (op == "d" || op == "u") {
            rig.touch(n, ms, KEY_WAKEUP, op == "d");
        } else if (op == "w" || op == "h" || op == "H" || op == "n" || op == "N") {
            rig.nowNs = ms * 1000000;
            if (op == "w")
                rig.controller->wakeRequest(rig.nowNs);
            else
                rig.controller->keep(op.toLower() == "h" ? idle::Controller::Keeper::StayAwake
                                                         : idle::Controller::Keeper::Inhibitor,
                                     op == "h" || op == "n", rig.nowNs);
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
    QCOMPARE(record.entries[0].level, remembered > 0 ? remembered : control::firstUseLevel);
}

void tst_Loop::ambient_data()
{
    // Remembered 60%, --ambient with the standard curve (500 lux: 70%,
    // 5000: 100%, 50: 35%), --after 5m --dim 20% ("a dim": --after 30s). Events, each at
    // T ms: "TL500" a light sample of 500 lux; "TLx500*N" the same each
    // second N times from T; "TP40" a person sets 40%; "To" a person's off;
    // "Ti0" a touch; "T" the timers only.
    QTest::addColumn<QString>("calls");
    QTest::addColumn<QString>("writes");  // a pattern of "T:LEVEL" writes
    QTest::addColumn<int>("step");        // the largest change from one write to the next
    QTest::addColumn<int>("by");          // ms: the last write came by then
    QTest::addColumn<int>("level");       // the record's remembered level at the end
    QTest::addColumn<QString>("learned"); // what the curve's file holds; "" none

    QTest::newRow("the room's light sets the level, in a fade")
        << "1000Lx500*25" << "1\\d\\d\\d:61( \\d+:\\d+)* 4000:70" << 1 << 4000 << 70 << "";
    QTest::newRow("a shadow of 3 s changes nothing")
        << "1000Lx500*15 16000Lx250*3 19000Lx500*10" << "1\\d\\d\\d:61( \\d+:\\d+)* 4000:70" << 1 << 4000 << 70 << "";
    QTest::newRow("a lasting step follows within 40 s, never a jump")
        << "1000Lx50*10 11000Lx5000*45" << "1\\d\\d\\d:59( \\d+:\\d+)* 4000:35( \\d+:\\d+)* \\d+:100" << 1 << 51000
        << 100 << "";
    QTest::newRow("a dark screen is not woken") << "500o 1000Lx500*25" << "" << 0 << 0 << 60 << "";
    QTest::newRow("a dim is left as it is") << "1000Lx500*10 11000Lx500*25 36000Lx5000*10"
                                            << "1\\d\\d\\d:61( \\d+:\\d+)* 4000:70 30000:20" << 50 << 30000 << 70 << "";
    QTest::newRow("a person's level is learned and holds")
        << "1000Lx500*15 20000P40 21000Lx500*20" << "1\\d\\d\\d:61( \\d+:\\d+)* 4000:70" << 1 << 4000 << 40
        << "5:10%,50:35%,500:40%,5000:100%";
    QTest::newRow("... until the room changes by more than the band")
        << "1000Lx500*15 20000P40 21000Lx5000*45" << "1\\d\\d\\d:61( \\d+:\\d+)* 4000:70 2\\d\\d\\d\\d:41( \\d+:\\d+)* \\d+:100"
        << 1 << 61000 << 100 << "5:10%,50:35%,500:40%,5000:100%";
    QTest::newRow("a person's level in the middle of a follow holds")
        << "1000Lx50*10 11000Lx5000*4 15450P40 16000Lx5000*30" << "1\\d\\d\\d:59( \\d+:\\d+)* 4000:35( \\d+:\\d+)* 15\\d\\d\\d:\\d+"
        << 1 << 15600 << 40
        << "5:10%,50:35%,500:40%,5000:40%";
    // What an earlier run learned (the file as it wrote it): 500 lux is 40%.
    QTest::newRow("what was learned is kept across a restart")
        << "1000Lx500*25" << "1\\d\\d\\d:59( \\d+:\\d+)* 4000:40" << 1 << 4000 << 40
        << "5:10%,50:35%,500:40%,5000:100%";
}

void tst_Loop::ambient()
{
    QFETCH(QString, calls);
    QFETCH(QString, writes);
    QFETCH(int, step);
    QFETCH(int, by);
    QFETCH(int, level);
    QFETCH(QString, learned);

    Rig rig;
    const std::string place = rig.stageDisplay();
    QVERIFY(!place.empty());
    QVERIFY(rig.sysfs.setRecord(place + " 0483:5750 60 1\n"));
    const std::string curveFile = rig.sysfs.stateDir() + "/ambient-curve";
    if (QByteArray(QTest::currentDataTag()).startsWith("what was learned"))
        QVERIFY(testutil::writeText(curveFile, learned.toStdString() + "\n"));
    idle::Options options;
    const bool dims = QByteArray(QTest::currentDataTag()).startsWith("a dim");
    options.plan = {(dims ? 30 : 300) * 1000000000LL, 20, 60000000000LL};
    options.ambient.on = true;
    rig.start(options);
    QMap<int, int> persons;  // ms: the level a person set
    for (const QString &call : calls.split(' ')) {
        const QRegularExpressionMatch m = QRegularExpression("^(\\d+)(Lx|L|P|o|i)?(\\d*)(?:\\*(\\d+))?$").match(call);
        QVERIFY2(m.hasMatch(), qPrintable(call));
        const long long ms = m.captured(1).toLongLong();
        const QString op = m.captured(2);
        const int value = m.captured(3).toInt();
        const int times = m.captured(4).isEmpty() ? 1 : m.captured(4).toInt();
        for (int k = 0; k < times; ++k) {
            const long long at = ms + k * 1000;
            rig.runUntil(at);
            rig.nowNs = at * 1000000;
            if (op.startsWith("L")) {
                rig.controller->illuminance(value, rig.nowNs);
            } else if (op == "P" || op == "o") {
                if (op == "P")
                    persons[int(at)] = value;
                QVERIFY(rig.sysfs.setRecord(place + " 0483:5750 " + std::to_string(op == "P" ? value : 60) + " 9"
                                            + (op == "o" ? " off" : "") + "\n"));
                rig.controller->recordChanged(rig.nowNs);
            } else if (op == "i") {
                rig.touch(value, at);
            }
            rig.note(at);
        }
    }
    const QString all = rig.written.join(' ');
    QVERIFY2(QRegularExpression("^" + writes + "$").match(all).hasMatch(), qPrintable(all));
    int largest = 0, last = 0, previous = 60;
    for (const QString &w : rig.written) {
        // A person's level since the previous write is where the screen was.
        for (auto p = persons.begin(); p != persons.end(); ++p)
            if (p.key() > last && p.key() <= w.section(':', 0, 0).toInt())
                previous = p.value();
        largest = std::max(largest, std::abs(w.section(':', 1).toInt() - previous));
        previous = w.section(':', 1).toInt();
        last = w.section(':', 0, 0).toInt();
    }
    QVERIFY2(largest <= step, qPrintable(all));
    QVERIFY2(last <= by, qPrintable(all));
    control::Record record;
    QVERIFY(control::parseRecord(rig.sysfs.record(), &record));
    QCOMPARE(record.entries.size(), std::size_t(1));
    QCOMPARE(record.entries[0].level, level);
    QFile file(QString::fromStdString(curveFile));
    QCOMPARE(file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString(), learned);
}

QTEST_APPLESS_MAIN(tst_Loop)
#include "tst_loop.moc"
