#include <QtTest>

#include <grp.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "../support/program.h"
#include "../support/sysfstree.h"

// brightness-idle's D-Bus service as a process on a private system bus
// (dbus-daemon with a policy that allows everything), with the simulated
// display preloaded, seen through a client of its own.
class tst_Bus : public QObject
{
    Q_OBJECT

private slots:
    void service_data();
    void service();
};

namespace {

const char *const name = "org.brightness.Idle1";
const char *const path = "/org/brightness/Idle1";

struct Rig {
    QTemporaryDir dir;
    QProcess daemon;
    QString address;
    testutil::SimulatedDisplayFiles sim;
    testutil::SysfsTree staged;
    QProcess idle[2];
    QByteArray err[2];
    sd_bus *client = nullptr;
    QStringList seen;  // each PropertiesChanged: the names it carries

    ~Rig()
    {
        sd_bus_flush_close_unref(client);
        for (QProcess &p : idle) {
            p.kill();
            p.waitForFinished();
        }
        daemon.kill();
        daemon.waitForFinished();
    }
    // With the system bus's default policy and the package's, as a user
    // other than root would meet them.
    bool startSystemBus()
    {
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                              | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
        QFile conf(dir.filePath("bus.conf"));
        conf.open(QFile::WriteOnly);
        conf.write("<busconfig><type>system</type><listen>unix:path=" + dir.filePath("bus").toUtf8()
                   + "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                     "<deny eavesdrop=\"true\"/><deny send_destination=\"*\" eavesdrop=\"true\"/><deny own=\"*\"/>"
                     "<deny send_type=\"method_call\"/><allow send_type=\"signal\"/>"
                     "<allow send_requested_reply=\"true\" send_type=\"method_return\"/>"
                     "<allow send_requested_reply=\"true\" send_type=\"error\"/>"
                     "<allow receive_type=\"method_call\"/><allow receive_type=\"method_return\"/>"
                     "<allow receive_type=\"error\"/><allow receive_type=\"signal\"/>"
                     "<allow send_destination=\"org.freedesktop.DBus\"/></policy>"
                     "<include>" IDLE_POLICY "</include></busconfig>");
        conf.close();
        return runBus();
    }
    bool startBus()
    {
        QFile conf(dir.filePath("bus.conf"));
        conf.open(QFile::WriteOnly);
        // A fixed path, so that a restarted bus is where the first was.
        conf.write("<busconfig><type>system</type><listen>unix:path=" + dir.filePath("bus").toUtf8()
                   + "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                     "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>");
        conf.close();
        return runBus();
    }
    bool runBus()
    {
        daemon.start("dbus-daemon", {"--config-file=" + dir.filePath("bus.conf"), "--print-address=1", "--nofork"});
        if (!daemon.waitForReadyRead(10000))
            return false;
        // Without the first daemon's guid, which a restarted one does not
        // have, as the system bus's address is given.
        address = QString::fromUtf8(daemon.readLine()).trimmed().section(',', 0, 0);
        return !address.isEmpty();
    }
    void startIdle(int n, const QStringList &args, const QString &busAddress)
    {
        QProcessEnvironment env = sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", busAddress);
        idle[n].setProcessEnvironment(env);
        testutil::startProgram(idle[n], IDLE_DRIVER_BINARY,
                               QStringList{QString::fromStdString(staged.path()),
                                           QString::fromStdString(staged.stateDir())} + args);
        idle[n].waitForStarted();
    }
    // brightness-ctl status's output, on the bus at busAddress.
    QString ctlStatus(const QString &busAddress)
    {
        QProcess ctl;
        QProcessEnvironment env = sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", busAddress);
        ctl.setProcessEnvironment(env);
        testutil::startProgram(ctl, CTL_DRIVER_BINARY,
                               {QString::fromStdString(staged.path()), QString::fromStdString(staged.stateDir()),
                                "status"});
        if (!ctl.waitForFinished(10000) || ctl.exitCode() != 0)
            return "failed: " + QString::fromUtf8(ctl.readAllStandardError());
        return QString::fromUtf8(ctl.readAllStandardOutput());
    }
    // How often the program's error output has said this so far.
    int said(int n, const char *text)
    {
        err[n] += idle[n].readAllStandardError();
        return err[n].count(text);
    }
    static int changed(sd_bus_message *m, void *data, sd_bus_error *)
    {
        QStringList names;
        const char *interface = nullptr;
        sd_bus_message_read(m, "s", &interface);
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char *property = nullptr;
            sd_bus_message_read(m, "s", &property);
            sd_bus_message_skip(m, "v");
            sd_bus_message_exit_container(m);
            names << property;
        }
        static_cast<Rig *>(data)->seen << names.join(',');
        return 0;
    }
    bool connect()
    {
        return sd_bus_new(&client) >= 0 && sd_bus_set_address(client, address.toUtf8().constData()) >= 0
            && sd_bus_set_bus_client(client, 1) >= 0 && sd_bus_start(client) >= 0
            && sd_bus_match_signal(client, nullptr, nullptr, path, "org.freedesktop.DBus.Properties",
                                   "PropertiesChanged", changed, this) >= 0;
    }
    bool owned()
    {
        sd_bus_message *reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(client, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", name) >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        return has;
    }
    // Signals that came within the next moment.
    void drain(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            if (sd_bus_process(client, nullptr) == 0)
                sd_bus_wait(client, 20000);
    }
    // "Name=value" of every property, sorted.
    QString all()
    {
        sd_bus_message *reply = nullptr;
        QStringList out;
        if (sd_bus_call_method(client, name, path, "org.freedesktop.DBus.Properties", "GetAll", nullptr, &reply,
                               "s", name) < 0)
            return "GetAll failed";
        sd_bus_message_enter_container(reply, 'a', "{sv}");
        while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
            const char *property = nullptr, *type = nullptr;
            char kind = 0;
            sd_bus_message_read(reply, "s", &property);
            sd_bus_message_peek_type(reply, &kind, &type);
            int b = 0;
            uint32_t u = 0;
            double d = 0;
            const char *text = nullptr;
            if (QByteArray(type) == "b" && sd_bus_message_read(reply, "v", "b", &b) > 0)
                out << QString("%1=%2").arg(property, b ? "true" : "false");
            else if (QByteArray(type) == "u" && sd_bus_message_read(reply, "v", "u", &u) > 0)
                out << QString("%1=%2").arg(property).arg(u);
            else if (QByteArray(type) == "d" && sd_bus_message_read(reply, "v", "d", &d) > 0)
                out << QString("%1=%2").arg(property).arg(d);
            else if (QByteArray(type) == "s" && sd_bus_message_read(reply, "v", "s", &text) > 0)
                out << QString("%1=%2").arg(property, text);
            else
                sd_bus_message_skip(reply, "v");
            sd_bus_message_exit_container(reply);
        }
        sd_bus_message_unref(reply);
        out.sort();
        return out.join(' ');
    }
};

// The voluntary context switches of a process's main thread: its wake-ups.
long long contextSwitches(qint64 pid)
{
    QFile status(QString("/proc/%1/task/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLongLong();
    return -1;
}

} // namespace

void tst_Bus::service_data()
{
    QTest::addColumn<QString>("args");
    // "get"; "set NAME b|u VALUE"; "Wake"; "report LUX": ReportIlluminance;
    // "taken": a second program on the
    // same bus; "nobus": no bus at the address; "late": the bus started
    // after the program; "restart": the bus stopped and started again, then
    // StayAwake set.
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("error");    // the call's D-Bus error, or none
    QTest::addColumn<QString>("changes");  // the PropertiesChanged that came, "|" between two
    QTest::addColumn<QString>("state");    // properties that must read so after the action

    const QString plan = "--after 10m --dim 30% --off-after 5m";
    QTest::newRow("the command line's times and the state")
        << plan << "get" << "" << ""
        << "After=600 DimLevel=30 Idle=false Inhibited=false Night=false NightAfter=0 NightLevel=0 "
           "NightOffAfter=0 NightProfile=false OffAfter=300 Presence=false StayAwake=false";
    QTest::newRow("no dim: no time before off") << "--after 90s" << "get" << "" << "" << "After=90 DimLevel=0 OffAfter=0";
    QTest::newRow("stay awake: one signal") << plan << "set StayAwake b 1" << "" << "StayAwake" << "StayAwake=true";
    QTest::newRow("stay awake as it was: none") << plan << "set StayAwake b 0" << "" << "" << "StayAwake=false";
    QTest::newRow("after 2 min") << plan << "set After u 120" << "" << "After" << "After=120";
    QTest::newRow("after 24 h") << plan << "set After u 86400" << "" << "After" << "After=86400";
    QTest::newRow("after 0 refused") << plan << "set After u 0" << "org.freedesktop.DBus.Error.InvalidArgs" << ""
                                     << "After=600";
    QTest::newRow("after a day and a second refused") << plan << "set After u 86401"
                                                      << "org.freedesktop.DBus.Error.InvalidArgs" << "" << "After=600";
    QTest::newRow("never off") << plan << "set OffAfter u 0" << "" << "OffAfter" << "OffAfter=0";
    QTest::newRow("off after without a dim refused") << "--after 90s" << "set OffAfter u 60"
                                                     << "org.freedesktop.DBus.Error.InvalidArgs" << "" << "OffAfter=0";
    QTest::newRow("night after") << plan << "set NightAfter u 60" << "" << "NightAfter" << "NightAfter=60 After=600";
    QTest::newRow("night level 10%") << plan << "set NightLevel u 10" << "" << "NightLevel" << "NightLevel=10";
    QTest::newRow("night level 101% refused") << plan << "set NightLevel u 101"
                                              << "org.freedesktop.DBus.Error.InvalidArgs" << "" << "NightLevel=0";
    // The room's light: followed only with --ambient; another program's
    // reading shown (two digits) as the light idle uses.
    const QString ambient = plan + " --ambient";
    const QString notFollowed = "org.freedesktop.DBus.Error.NotSupported";
    QTest::newRow("--ambient: on, the curve, no light yet")
        << plan + " --ambient-curve 10:20%,1000:90%" << "get" << "" << ""
        << "AmbientProfile=true AutoBrightness=true Illuminance=-1 AmbientCurve=10:20%,1000:90%";
    QTest::newRow("the room's light from Home Assistant") << ambient << "report 512" << "" << "Illuminance"
                                                          << "Illuminance=510";
    QTest::newRow("a dim room") << ambient << "report 0.534" << "" << "Illuminance" << "Illuminance=0.53";
    QTest::newRow("no light below 0") << ambient << "report -1" << "org.freedesktop.DBus.Error.InvalidArgs" << ""
                                      << "Illuminance=-1";
    QTest::newRow("no infinite light") << ambient << "report inf" << "org.freedesktop.DBus.Error.InvalidArgs" << ""
                                       << "Illuminance=-1";
    QTest::newRow("the light without --ambient refused") << plan << "report 500" << notFollowed << ""
                                                         << "Illuminance=-1";
    QTest::newRow("auto brightness off") << ambient << "set AutoBrightness b 0" << "" << "AutoBrightness"
                                         << "AutoBrightness=false AmbientProfile=true";
    QTest::newRow("auto brightness needs --ambient") << plan << "set AutoBrightness b 1" << notFollowed << ""
                                                     << "AutoBrightness=false";
    QTest::newRow("auto brightness off kept over a restart") << ambient << "set AutoBrightness b 0; again" << "" << ""
                                                             << "AutoBrightness=false";
    QTest::newRow("the dim is read only") << plan << "set DimLevel u 50"
                                          << "org.freedesktop.DBus.Error.PropertyReadOnly" << "" << "DimLevel=30";
    QTest::newRow("a bool is no number") << plan << "set After b 1" << "org.freedesktop.DBus.Error.InvalidArgs"
                                         << "" << "After=600";
    QTest::newRow("wake while lit") << plan << "Wake" << "" << "" << "Idle=false";
    QTest::newRow("the name taken: the second runs on") << plan << "taken" << "" << "" << "After=600";
    QTest::newRow("no bus: it runs on") << plan << "nobus" << "" << "" << "";
    QTest::newRow("a user outside plugdev: the record's directory unwatched, the fix named")
        << plan << "unwatched" << "" << "" << "";
    // "...; again ARGS": then the program stopped and started again, with
    // ARGS added; the signals are those of the start.
    QTest::newRow("a setting kept over a restart") << plan << "set After u 120; again" << "" << "" << "After=120";
    QTest::newRow("--reset-settings: the command line's again") << plan << "set After u 120; again --reset-settings"
                                                                << "" << "" << "After=600";
    // "status": StayAwake set, then brightness-ctl status, and again once
    // the program is gone.
    QTest::newRow("brightness-ctl status") << plan + " --night 22:00-06:00 --night-level 10%" << "status" << ""
                                           << "StayAwake" << "StayAwake=true";
    QTest::newRow("brightness-ctl status: the room's light") << plan + " --ambient-curve 10:20%,1000:90%"
                                                             << "ambient status" << "" << "Illuminance"
                                                             << "Illuminance=310";
    QTest::newRow("the package's policy: only root and plugdev hear it") << plan << "listeners" << "" << "StayAwake"
                                                                         << "StayAwake=true";
    QTest::newRow("no bus at start: found once it comes") << plan << "late" << "" << "" << "After=600";
    QTest::newRow("the bus restarted: found again, served again") << plan << "restart" << "" << "StayAwake"
                                                                  << "StayAwake=true After=600";
}

void tst_Bus::service()
{
    QFETCH(QString, args);
    QFETCH(QString, action);
    QFETCH(QString, error);
    QFETCH(QString, changes);
    QFETCH(QString, state);
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        QSKIP("dbus-daemon is not installed (scripts/deps.sh installs it)");

    Rig rig;
    rig.sim.setNodes({"1 present 3 0483 5750"});
    QVERIFY(rig.staged.stagePlace(1, testutil::usbDevicePath(1)));
    const QStringList argv = args.split(' ');
    if (action == "unwatched") {
        // As a user who may not read the state directory, and without a
        // bus: said once, with the command that gives the access.
        if (geteuid() != 0)
            QSKIP("needs root, to run the program as nobody");
        const group *plugdev = getgrnam("plugdev");
        if (!plugdev)
            QSKIP("this machine has no group plugdev");
        // As the package makes it.
        const std::string state = rig.staged.stateDir();
        QVERIFY(chown(state.c_str(), 0, plugdev->gr_gid) == 0 && chmod(state.c_str(), 02771) == 0);
        QProcessEnvironment env = rig.sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + rig.dir.filePath("none"));
        rig.idle[0].setProcessEnvironment(env);
        rig.idle[0].start("setpriv", QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups"}
                                         + testutil::emulatorCommand() + QStringList{IDLE_DRIVER_BINARY}
                                         + QStringList{QString::fromStdString(rig.staged.path()),
                                                       QString::fromStdString(rig.staged.stateDir())}
                                         + argv);
        QTRY_VERIFY_WITH_TIMEOUT(rig.said(0, "no system bus"), 10000);
        QVERIFY2(rig.said(0, "cannot watch ") == 1, rig.err[0].constData());
        QVERIFY2(rig.said(0, ": Permission denied (nobody is not in group plugdev, which may read it: "
                             "sudo adduser nobody plugdev, then log in again); changes by others are not seen")
                     == 1,
                 rig.err[0].constData());
        return;
    }
    if (action == "nobus") {
        // Said once; the program waits on as before.
        rig.startIdle(0, argv, "unix:path=" + rig.dir.filePath("none"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.said(0, "no system bus"), 10000);
        QVERIFY(!rig.idle[0].waitForFinished(1000));
        QCOMPARE(rig.said(0, "bus"), 1);
        const QString out = rig.ctlStatus("unix:path=" + rig.dir.filePath("none"));
        QVERIFY2(out.endsWith("\nbrightness-idle: no system bus (No such file or directory)\n"), qPrintable(out));
        return;
    }
    if (action == "late") {
        rig.startIdle(0, argv, "unix:path=" + rig.dir.filePath("bus"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.said(0, "no system bus"), 10000);
        // Waiting for the bus's socket to be made costs no wake-up: no
        // timer looks for it.
        QTest::qWait(1000);
        const long long before = contextSwitches(rig.idle[0].processId());
        QVERIFY(before >= 0);
        QTest::qWait(3000);
        QCOMPARE(contextSwitches(rig.idle[0].processId()), before);
    }
    QProcess listener[2];  // as nobody: in group plugdev, and not
    if (action == "listeners") {
        if (geteuid() != 0)
            QSKIP("needs root, to listen as nobody");
        if (QStandardPaths::findExecutable("dbus-monitor").isEmpty() || !getgrnam("plugdev"))
            QSKIP("no dbus-monitor (package dbus-bin) or no group plugdev");
        QVERIFY(rig.startSystemBus());
        for (int i = 0; i < 2; ++i) {
            listener[i].start("setpriv", QStringList{"--reuid=nobody", "--regid=nogroup"}
                                             + (i == 0 ? QStringList{"--groups=plugdev"} : QStringList{"--clear-groups"})
                                             + QStringList{"dbus-monitor", "--address", rig.address,
                                                           "type='signal',interface='org.freedesktop.DBus.Properties'"});
            // Its first line once it listens.
            QVERIFY2(listener[i].waitForReadyRead(10000), listener[i].readAllStandardError().constData());
        }
    } else {
        QVERIFY(rig.startBus());
    }
    if (action != "late")
        rig.startIdle(0, argv, rig.address);
    QVERIFY(rig.connect());
    QTRY_VERIFY_WITH_TIMEOUT(rig.owned(), 10000);

    sd_bus_error e = SD_BUS_ERROR_NULL;
    const bool restart = action.contains("; again");
    const QString again = action.section("; again", 1);
    action = action.section("; again", 0, 0);
    const QStringList a = action.split(' ');
    if (a[0] == "set" && a[2] == "b")
        sd_bus_set_property(rig.client, name, path, name, qPrintable(a[1]), &e, "b", a[3].toInt());
    else if (a[0] == "set")
        sd_bus_set_property(rig.client, name, path, name, qPrintable(a[1]), &e, "u", a[3].toUInt());
    else if (a[0] == "Wake")
        sd_bus_call_method(rig.client, name, path, name, "Wake", &e, nullptr, "");
    else if (a[0] == "report")
        sd_bus_call_method(rig.client, name, path, name, "ReportIlluminance", &e, nullptr, "d", a[1].toDouble());
    if (action == "listeners" || action == "status")
        sd_bus_set_property(rig.client, name, path, name, "StayAwake", &e, "b", 1);
    if (action == "status") {
        const QString out = rig.ctlStatus(rig.address);
        QVERIFY2(out.startsWith("/dev/hidraw1 0483:5750 "), qPrintable(out));
        QVERIFY2(out.contains("\nbrightness-idle: running; the screen is not darkened by it; kept awake by Home "
                              "Assistant's stay awake\nbrightness-idle: by day after 10m without a touch: dim to "
                              "30%, off 5m later; at night after 10m without a touch: dim to 30%, off 5m later, a "
                              "wake brings at most 10%; "),
                 qPrintable(out));
    }
    if (action == "ambient status") {
        sd_bus_call_method(rig.client, name, path, name, "ReportIlluminance", &e, nullptr, "d", 312.0);
        QTRY_VERIFY_WITH_TIMEOUT(rig.ctlStatus(rig.address).contains("brightness-idle: the room's light: 310 lux; auto "
                                                                   "brightness on, the curve 10:20%,1000:90%\n"),
                                 5000);
    }
    if (action == "restart") {
        rig.client = sd_bus_flush_close_unref(rig.client);
        rig.daemon.kill();
        QVERIFY(rig.daemon.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(rig.said(0, "the system bus closed the connection"), 10000);
        QVERIFY(rig.runBus());
        QVERIFY(rig.connect());
        QTRY_VERIFY_WITH_TIMEOUT(rig.owned(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.said(0, "the system bus is there again"), 1, 5000);
        sd_bus_set_property(rig.client, name, path, name, "StayAwake", &e, "b", 1);
    }
    if (action == "taken") {
        rig.startIdle(1, argv, rig.address);
        QTRY_VERIFY_WITH_TIMEOUT(rig.said(1, "another program owns the bus name"), 10000);
        QVERIFY(!rig.idle[1].waitForFinished(500));
    }
    if (restart) {
        // Once the name is free, the next run takes it.
        QCOMPARE(QString(e.name), QString());
        rig.drain(100);
        rig.idle[0].terminate();
        QVERIFY(rig.idle[0].waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(!rig.owned(), 10000);
        rig.startIdle(0, argv + again.split(' ', Qt::SkipEmptyParts), rig.address);
        QTRY_VERIFY_WITH_TIMEOUT(rig.owned(), 10000);
        const bool kept = QFile::exists(QString::fromStdString(rig.staged.stateDir()) + "/idle-settings");
        QCOMPARE(kept, !again.contains("--reset-settings"));
        rig.seen.clear();
    }
    QCOMPARE(QString(e.name), error);
    // The reason is one line for a person.
    QVERIFY(!QByteArray(e.message).contains('\n'));
    sd_bus_error_free(&e);
    rig.drain(300);
    QCOMPARE(rig.seen.join('|'), changes);
    const QStringList now = rig.all().split(' ');
    for (const QString &expected : state.split(' ', Qt::SkipEmptyParts))
        QVERIFY2(now.contains(expected), qPrintable(expected + " not in " + now.join(' ')));
    QVERIFY(!rig.idle[0].waitForFinished(100));
    if (action == "status") {
        rig.idle[0].terminate();
        QVERIFY(rig.idle[0].waitForFinished(10000));
        const QString out = rig.ctlStatus(rig.address);
        QVERIFY2(out.endsWith("\nbrightness-idle: not running (systemctl status brightness-idle)\n"), qPrintable(out));
    }
    if (action == "listeners") {
        QTest::qWait(300);
        QByteArray heard[2];
        for (int i = 0; i < 2; ++i) {
            listener[i].terminate();
            listener[i].waitForFinished(5000);
            heard[i] = listener[i].readAllStandardOutput();
        }
        QVERIFY2(heard[0].contains("StayAwake"), heard[0].constData());
        QVERIFY2(!heard[1].contains("StayAwake"), heard[1].constData());
    }
}

QTEST_GUILESS_MAIN(tst_Bus)
#include "tst_bus.moc"
