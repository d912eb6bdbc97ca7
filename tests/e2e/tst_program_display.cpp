#include <QtTest>

#include <unistd.h>

#include "../support/program.h"
#include "../support/testutil.h"

// The built program with the simulated display preloaded, as on a Pi.
class tst_ProgramDisplay : public QObject
{
    Q_OBJECT

private slots:
    void commandLineStepAtStart();
    void displayPluggedInLater();

private:
    static QString hexReport(int level) { return QString::fromLatin1(testutil::brightnessReport(level).toHex()); }
};

void tst_ProgramDisplay::commandLineStepAtStart()
{
    testutil::SimulatedDisplayFiles sim;
    sim.setNodes({"0 present 3 046d c31c", "1 present 3 0483 5750"});
    QProcess program;
    QProcessEnvironment env = sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    testutil::startProgram(program, BRIGHTNESS_BINARY, {"-b", "7"});
    QVERIFY(program.waitForStarted());

    QTRY_COMPARE_WITH_TIMEOUT(sim.events("write").size(), 1, 30000);
    QTest::qWait(1200);
    QCOMPARE(program.state(), QProcess::Running);
    const QStringList writes = sim.events("write");
    QCOMPARE(writes.size(), 1);
    const QStringList f = writes[0].split(' ');
    QCOMPARE(f.value(1), QString("1"));
    QCOMPARE(f.value(3), QString("38"));
    QCOMPARE(f.value(5), hexReport(0x46));
    // Only the display's node is opened up, the keyboard's is left alone;
    // a search after a uevent from elsewhere on the machine runs it again.
    const QStringList commands = sim.sudoCommands();
    QVERIFY(!commands.isEmpty());
    QVERIFY2(commands.count("chmod 777 /dev/hidraw1") == commands.size(), qPrintable(commands.join('|')));
    QCOMPARE(program.readAllStandardOutput(), QByteArray("Bright=7\n"));
    program.kill();
    program.waitForFinished();
}

void tst_ProgramDisplay::displayPluggedInLater()
{
    if (geteuid() != 0)
        QSKIP("making the kernel broadcast a uevent needs root (writes /sys/class/net/lo/uevent)");
    testutil::Xvfb x;
    if (!x.start())
        QSKIP("Xvfb could not be started");

    testutil::SimulatedDisplayFiles sim;
    QProcess program;
    QProcessEnvironment env = sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
    env.remove("QT_QPA_PLATFORM");
    env.insert("DISPLAY", x.display);
    program.setProcessEnvironment(env);
    testutil::startProgram(program, BRIGHTNESS_BINARY, {"-b", "4"});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(sim.events("open").size() >= 10, 30000);
    // Visible only: Qt's client leader, an unmapped 1x1 window, has the
    // same name, and a focus on it sends the key nowhere.
    const QString window =
        x.xdotool({"search", "--sync", "--onlyvisible", "--name", "^brightness$"}).section('\n', 0, 0);
    QVERIFY(!window.isEmpty());

    // Plug the display in and let the kernel announce an event.
    sim.setNodes({"1 present 3 0484 5750"});
    QFile uevent("/sys/class/net/lo/uevent");
    QVERIFY(uevent.open(QFile::WriteOnly));
    QCOMPARE(uevent.write("change\n"), qint64(7));
    uevent.close();
    QTRY_VERIFY_WITH_TIMEOUT(!sim.events("open").filter(QRegularExpression("^open 1 [1-9]")).isEmpty(), 2500);
    // Found later: the start-up step is not sent again.
    QTest::qWait(300);
    QVERIFY(sim.levels().isEmpty());

    // A key press on the slider reaches the display found later.
    x.xdotool({"windowfocus", "--sync", window});
    // The key goes wherever the focus is when it is sent.
    QTRY_COMPARE_WITH_TIMEOUT(x.xdotool({"getwindowfocus", "-f"}).trimmed(), window, 5000);
    x.xdotool({"key", "Left"});
    QTRY_COMPARE_WITH_TIMEOUT(sim.levels(), QList<int>{90}, 5000);
    QCOMPARE(program.state(), QProcess::Running);
    program.kill();
    program.waitForFinished();
}

QTEST_GUILESS_MAIN(tst_ProgramDisplay)
#include "tst_program_display.moc"
