#include <QtTest>

#include "../support/program.h"

#include <csignal>

#include "ctlrun.h"

// brightness-ctl as a process with the simulated display preloaded, started
// as from a script over SSH: no display server, no Qt platform. The driver
// build takes its sysfs root and state directory from the command line.
class tst_Program : public QObject
{
    Q_OBJECT

private slots:
    void endToEnd_data();
    void endToEnd();
    void killedDuringSet_data();
    void killedDuringSet();
    void signalStopsFade_data();
    void signalStopsFade();
    void secondSetCancelsFade();
    void linksNoQt();

private:
    // Starts the driver on the staged sysfs and state directory.
    void start(QProcess &program, const testutil::SimulatedDisplayFiles &sim, const testutil::SysfsTree &staged,
               const QStringList &args)
    {
        QProcessEnvironment env = sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        program.setProcessEnvironment(env);
        testutil::startProgram(program, CTL_DRIVER_BINARY,
                               QStringList{QString::fromStdString(staged.path()),
                                           QString::fromStdString(staged.stateDir())}
                                   + args);
    }
};

void tst_Program::endToEnd_data()
{
    QTest::addColumn<QStringList>("nodes");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QStringList>("writes");  // "NODE HEX" of each write
    QTest::addColumn<QByteArray>("record");   // before the run; %1 the place of port 1

    const QStringList displayAt1{"0 present 3 046d c31c", "1 present 3 0483 5750"};
    const QString report46 = "04aa0100000046" + QString(62, '0');
    const QString report0c = "04aa010000000c" + QString(62, '0');

    const QByteArray at40 = "%1 0483:5750 40 3\n";
    const QString place = placeOf(1);

    QTest::newRow("set 7") << displayAt1 << QStringList{"set", "7"} << 0 << QString() << QString()
                           << QStringList{"1 " + report46} << QByteArray();
    QTest::newRow("set 12% on two displays")
        << QStringList{"3 present 3 0eef 0005", "8 present 3 0484 5750"} << QStringList{"set", "12%"} << 0
        << QString() << QString() << QStringList{"3 " + report0c, "8 " + report0c} << QByteArray();
    QTest::newRow("list") << displayAt1 << QStringList{"list"} << 0 << "/dev/hidraw1 0483:5750 " + place + "\n"
                          << QString() << QStringList{} << QByteArray();
    QTest::newRow("list -m") << displayAt1 << QStringList{"list", "-m"} << 0
                             << "/dev/hidraw1 0483:5750 ok " + place + "\n" << QString() << QStringList{}
                             << QByteArray();
    QTest::newRow("no display") << QStringList{"2 present 3 046d c31c"} << QStringList{"set", "5"} << 1 << QString()
                                << "brightness-ctl: no display found on /dev/hidraw0 to /dev/hidraw9"
                                   " (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n"
                                   "brightness-ctl: hidraw nodes present: /dev/hidraw2 046d:c31c\n"
                                << QStringList{} << QByteArray();
    QTest::newRow("value refused") << displayAt1 << QStringList{"set", "101%"} << 2 << QString()
                                   << "brightness-ctl: invalid brightness '101%': give a step from 0 to 10"
                                      " or a percentage from 0% to 100%, or a change such as +1, 1-, +10% or 10%-\n"
                                      "Try 'brightness-ctl --help'.\n"
                                   << QStringList{} << QByteArray();
    QTest::newRow("get") << displayAt1 << QStringList{"get"} << 0
                         << "/dev/hidraw1 0483:5750: 40% remembered (the level last set here;"
                            " the display cannot be read back)\n"
                         << QString() << QStringList{} << at40;
    QTest::newRow("get -m") << displayAt1 << QStringList{"get", "--machine"} << 0
                            << "/dev/hidraw1 0483:5750 40 " + place + "\n" << QString() << QStringList{} << at40;
    QTest::newRow("get, nothing remembered") << displayAt1 << QStringList{"get"} << 1 << QString()
                                             << "brightness-ctl: /dev/hidraw1 0483:5750: no level remembered; a step or 'on' starts from 100%\n"
                                             << QStringList{} << QByteArray();
    QTest::newRow("set 1-") << displayAt1 << QStringList{"set", "1-"} << 0 << QString() << QString()
                            << QStringList{"1 04aa010000001e" + QString(62, '0')} << at40;
    const QString firstUse = "brightness-ctl: /dev/hidraw1 0483:5750: nothing remembered yet; starting from 100%,"
                             " where the window's slider starts\n";
    auto report = [](const char *hex) { return "1 04aa01000000" + QString(hex) + QString(62, '0'); };
    QTest::newRow("set +10%, nothing remembered") << displayAt1 << QStringList{"set", "+10%"} << 0 << QString()
                                                  << firstUse << QStringList{report("64")} << QByteArray();
    QTest::newRow("on, nothing remembered") << displayAt1 << QStringList{"on"} << 0 << QString() << firstUse
                                            << QStringList{report("64")} << QByteArray();
    const QByteArray off40 = "%1 0483:5750 40 3 off\n";
    QTest::newRow("off") << displayAt1 << QStringList{"off"} << 0 << QString() << QString()
                         << QStringList{report("00")} << at40;
    QTest::newRow("on, from off") << displayAt1 << QStringList{"on"} << 0 << QString() << QString()
                                  << QStringList{report("28")} << off40;
    QTest::newRow("toggle, from off") << displayAt1 << QStringList{"toggle"} << 0 << QString() << QString()
                                      << QStringList{report("28")} << off40;
    QTest::newRow("toggle, from dimmed") << displayAt1 << QStringList{"toggle"} << 0 << QString() << QString()
                                         << QStringList{report("00")} << QByteArray("%1 0483:5750 40 3 dim:10\n");
    QTest::newRow("set +1 while off starts from 0") << displayAt1 << QStringList{"set", "+1"} << 0 << QString()
                                                    << QString() << QStringList{report("0a")} << off40;
    QTest::newRow("restore lights a display that was off") << displayAt1 << QStringList{"restore"} << 0 << QString()
                                                          << QString() << QStringList{report("28")} << off40;
    QTest::newRow("no arguments") << displayAt1 << QStringList{} << 0
                                  << "/dev/hidraw1 0483:5750 " + place + ": 40% remembered, on\n" << QString()
                                  << QStringList{} << at40;
    QTest::newRow("no arguments, off") << displayAt1 << QStringList{} << 0
                                       << "/dev/hidraw1 0483:5750 " + place + ": 40% remembered, off\n"
                                       << QString() << QStringList{} << off40;
    QTest::newRow("no arguments, nothing remembered")
        << displayAt1 << QStringList{} << 0
        << "/dev/hidraw1 0483:5750 " + place + ": nothing remembered; a step or 'on' starts from 100%\n" << QString()
        << QStringList{} << QByteArray();
    QTest::newRow("no arguments, no display") << QStringList{} << QStringList{} << 1 << QString()
                                              << "brightness-ctl: no display found on /dev/hidraw0 to /dev/hidraw9"
                                                 " (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n"
                                                 "brightness-ctl: no hidraw node is present\n"
                                              << QStringList{} << QByteArray();
    QTest::newRow("restore") << displayAt1 << QStringList{"restore"} << 0 << QString() << QString()
                             << QStringList{"1 04aa0100000028" + QString(62, '0')} << at40;
    QTest::newRow("restore, nothing remembered") << displayAt1 << QStringList{"restore"} << 0 << QString()
                                                 << QString() << QStringList{} << QByteArray();
}

void tst_Program::endToEnd()
{
    QFETCH(QStringList, nodes);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QStringList, writes);
    QFETCH(QByteArray, record);
    testutil::SimulatedDisplayFiles sim;
    sim.setNodes(nodes);
    testutil::SysfsTree staged;
    for (const QString &line : nodes) {
        const QStringList f = line.split(' ');  // N present BUS VENDOR PRODUCT
        const int node = f[0].toInt();
        const unsigned short vendor = f[3].toUShort(nullptr, 16), product = f[4].toUShort(nullptr, 16);
        if (f[3] != "046d")
            QVERIFY(staged.stagePlace(node, testutil::usbDevicePath(node, vendor, product), testutil::hidId(vendor, product)));
    }
    if (!record.isEmpty())
        QVERIFY(staged.setRecord(QString::fromUtf8(record).arg(placeOf(1)).toStdString()));

    QProcess program;
    start(program, sim, staged, args);
    QVERIFY2(program.waitForFinished(30000), "brightness-ctl did not end");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
    QCOMPARE(QString::fromUtf8(program.readAllStandardOutput()), out);
    QCOMPARE(QString::fromUtf8(program.readAllStandardError()), err);

    QStringList written;
    for (const QString &line : sim.events("write")) {
        const QStringList f = line.split(' ');  // write N FD LEN BLOCKING HEX
        QCOMPARE(f.value(3), QString("38"));
        written << f.value(1) + ' ' + f.value(5);
    }
    QCOMPARE(written, writes);
    // Every descriptor opened was closed again.
    QCOMPARE(sim.events("close").size(), sim.events("open").filter(QRegularExpression("^open \\d+ [0-9]+ 0$")).size());
    // It never asks for rights through a shell or sudo.
    QCOMPARE(sim.sudoCommands(), QStringList());
}

void tst_Program::killedDuringSet_data()
{
    QTest::addColumn<int>("delayUs");  // from start to SIGKILL
    for (int us : {0, 200, 500, 1000, 1500, 2000, 3000, 4000, 6000, 8000, 12000, 20000, 50000})
        QTest::addRow("after %d us", us) << us;
}

void tst_Program::killedDuringSet()
{
    // Whenever the program dies, the record holds the old level or the new
    // one, whole, and the other display's entry is still there.
    QFETCH(int, delayUs);
    testutil::SimulatedDisplayFiles sim;
    sim.setNodes({"1 present 3 0483 5750"});
    testutil::SysfsTree staged;
    QVERIFY(staged.stagePlace(1, testutil::usbDevicePath(1)));
    const std::string before = QString("%1 0483:5750 30 5\n%2 0483:5750 77 1\n").arg(placeOf(1), placeOf(9)).toStdString();
    QVERIFY(staged.setRecord(before));

    for (int round = 0; round < 3; ++round) {
        QProcess program;
        start(program, sim, staged, {"set", "80%"});
        QVERIFY(program.waitForStarted(10000));
        QThread::usleep(static_cast<unsigned long>(delayUs));
        program.kill();
        QVERIFY(program.waitForFinished(10000));

        const int level = recordedLevel(staged, 1);
        QVERIFY2(level == 30 || level == 80, staged.record().c_str());
        QCOMPARE(recordedLevel(staged, 9), 77);
        // Once the record says 80, the display had it.
        if (level == 80)
            QCOMPARE(sim.levels().value(sim.levels().size() - 1), 80);
        QVERIFY(staged.setRecord(before));
    }
    // The next set clears away what a killed one left.
    QProcess program;
    start(program, sim, staged, {"set", "60%"});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(recordedLevel(staged, 1), 60);
    const QStringList left = QDir(QString::fromStdString(staged.stateDir()))
                                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QVERIFY2(left == QStringList{"levels"}, qPrintable(left.join(' ')));
}

void tst_Program::signalStopsFade_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void tst_Program::signalStopsFade()
{
    QFETCH(int, signal);
    testutil::SimulatedDisplayFiles sim;
    sim.setNodes({"4 present 3 0483 5750"});
    testutil::SysfsTree staged;
    QVERIFY(staged.stagePlace(4, testutil::usbDevicePath(2)));
    QVERIFY(staged.setRecord(QString("%1 0483:5750 0 1\n").arg(placeOf(2)).toStdString()));

    QProcess program;
    start(program, sim, staged, {"set", "100%", "--fade", "4000"});
    QVERIFY(program.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(sim.levels().size() >= 3, 10000);
    ::kill(static_cast<pid_t>(program.processId()), signal);
    QVERIFY(program.waitForFinished(10000));
    // It ends as the signal would have ended it, after its bookkeeping.
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    const QList<int> levels = sim.levels();
    QVERIFY2(levels.size() < 50, "the fade went on after the signal");
    QCOMPARE(recordedLevel(staged, 2), levels.last());
    QCOMPARE(QString::fromUtf8(program.readAllStandardError()),
             QString("brightness-ctl: /dev/hidraw4: fade stopped at %1%\n").arg(levels.last()));
}

void tst_Program::secondSetCancelsFade()
{
    testutil::SimulatedDisplayFiles sim;
    sim.setNodes({"2 present 3 0483 5750"});
    testutil::SysfsTree staged;
    QVERIFY(staged.stagePlace(2, testutil::usbDevicePath(3)));
    QVERIFY(staged.setRecord(QString("%1 0483:5750 100 1\n").arg(placeOf(3)).toStdString()));

    QProcess fade;
    start(fade, sim, staged, {"set", "0", "--fade", "5000"});
    QVERIFY(fade.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(sim.levels().size() >= 2, 10000);

    QProcess newer;
    start(newer, sim, staged, {"set", "3"});
    QVERIFY(newer.waitForFinished(10000));
    QCOMPARE(newer.exitCode(), 0);
    // The fade gives up at its next step, long before its five seconds.
    QVERIFY(fade.waitForFinished(3000));
    QCOMPARE(fade.exitStatus(), QProcess::NormalExit);
    QCOMPARE(fade.exitCode(), 0);
    const QList<int> levels = sim.levels();
    QCOMPARE(levels.last(), 30);
    QCOMPARE(levels.count(30), 1);
    QCOMPARE(recordedLevel(staged, 3), 30);
}

void tst_Program::linksNoQt()
{
    // Headless by construction: no Qt library is loaded, so none can ask for
    // a display server.
    if (QStandardPaths::findExecutable("readelf").isEmpty())
        QSKIP("readelf (binutils) is not installed");
    QProcess readelf;
    readelf.start("readelf", {"--dynamic", BRIGHTNESS_CTL_BINARY});
    QVERIFY(readelf.waitForFinished(30000));
    QCOMPARE(readelf.exitCode(), 0);
    const QStringList needed = QString::fromUtf8(readelf.readAllStandardOutput())
                                   .split('\n')
                                   .filter("(NEEDED)");
    QVERIFY2(!needed.filter("libc.so").isEmpty(), qPrintable(needed.join('\n')));
    QVERIFY2(needed.filter("libQt").isEmpty(), qPrintable(needed.join('\n')));
}

QTEST_GUILESS_MAIN(tst_Program)
#include "tst_program.moc"
