#include <QtTest>

#include "../support/program.h"

// The built brightness-ctl with the simulated display preloaded, started as
// from a script over SSH: no display server, no Qt platform.
class tst_Program : public QObject
{
    Q_OBJECT

private slots:
    void endToEnd_data();
    void endToEnd();
    void linksNoQt();
};

void tst_Program::endToEnd_data()
{
    QTest::addColumn<QStringList>("nodes");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QStringList>("writes");  // "NODE HEX" of each write

    const QStringList displayAt1{"0 present 3 046d c31c", "1 present 3 0483 5750"};
    const QString report46 = "04aa0100000046" + QString(62, '0');
    const QString report0c = "04aa010000000c" + QString(62, '0');

    QTest::newRow("set 7") << displayAt1 << QStringList{"set", "7"} << 0 << QString() << QString()
                           << QStringList{"1 " + report46};
    QTest::newRow("set 12% on two displays")
        << QStringList{"3 present 3 0eef 0005", "8 present 3 0484 5750"} << QStringList{"set", "12%"} << 0
        << QString() << QString() << QStringList{"3 " + report0c, "8 " + report0c};
    QTest::newRow("list") << displayAt1 << QStringList{"list"} << 0 << "/dev/hidraw1 0483:5750\n" << QString()
                          << QStringList{};
    QTest::newRow("no display") << QStringList{"2 present 3 046d c31c"} << QStringList{"set", "5"} << 1 << QString()
                                << "brightness-ctl: no display found on /dev/hidraw0 to /dev/hidraw9"
                                   " (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n"
                                << QStringList{};
    QTest::newRow("value refused") << displayAt1 << QStringList{"set", "101%"} << 2 << QString()
                                   << "brightness-ctl: invalid brightness '101%': give a step from 0 to 10"
                                      " or a percentage from 0% to 100%, or a change such as +1, 1-, +10% or 10%-\n"
                                   << QStringList{};
}

void tst_Program::endToEnd()
{
    QFETCH(QStringList, nodes);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QStringList, writes);
    testutil::SimulatedDisplayFiles sim;
    sim.setNodes(nodes);
    QProcessEnvironment env = sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);

    QProcess program;
    program.setProcessEnvironment(env);
    testutil::startProgram(program, BRIGHTNESS_CTL_BINARY, args);
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
