// The commands alone, in this process on an sd-event loop of its own: two
// simulated displays in a staged sysfs, the record in a directory of the
// test's, no broker, no bridge. Time is real: the fades are short.

#include <QtTest>

#include <cstdlib>
#include <sstream>

#include <systemd/sd-event.h>

#include "../support/sysfstree.h"
#include "control/log.h"
#include "mqtt/commands.h"
#include "simhid.h"

using mqtt::Command;
using mqtt::LightAction;

class tst_Commands : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void script_data();
    void script();
};

namespace {

struct Rig {
    Rig() : log(messages, "brightness-mqtt")
    {
        sd_event_new(&loop);
        fsyncs = dir.filePath("fsyncs");
        setenv("FSYNC_LOG", qPrintable(fsyncs), 1);
    }
    ~Rig()
    {
        commands.reset();
        sd_event_unref(loop);
        unsetenv("FSYNC_LOG");
    }
    bool open()
    {
        for (int n : {1, 2}) {
            simhid::present(n, 3, 0x0483, 0x5750);
            if (!sysfs.stagePlace(n, testutil::usbDevicePath(n)))
                return false;
        }
        env = control::Environment{sysfs.path(), sysfs.stateDir(), &messages, &messages};
        env.program = "brightness-mqtt";
        mqtt::Commands::Handlers h;
        h.begun = [this](const std::string &place, const control::ScreenState &after) {
            const int n = place == testutil::placeOf(1) ? 1 : place == testutil::placeOf(2) ? 2 : 0;
            begun << QString("%1>%2").arg(n).arg(control::shownOf(after));
        };
        h.ended = [this] { ++ended; };
        commands = std::make_unique<mqtt::Commands>(env, log, h);
        std::string why;
        return commands->open(loop, &why);
    }
    void run(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            sd_event_run(loop, 5000);
    }
    // Each display's levels received, in order: "1:30 2:30 1:60".
    QString levels() const
    {
        QStringList out;
        for (const simhid::WriteRecord &w : simhid::writes())
            if (w.bytes.size() > 6)
                out << QString("%1:%2").arg(w.node).arg(int(w.bytes[6]));
        return out.join(' ');
    }
    int flushes() const
    {
        QFile f(fsyncs);
        return f.open(QIODevice::ReadOnly) ? f.readAll().count(QByteArray(sysfs.stateDir().c_str())) : 0;
    }

    QTemporaryDir dir;
    QString fsyncs;
    testutil::SysfsTree sysfs;
    std::ostringstream messages;
    control::Log log;
    control::Environment env;
    sd_event *loop = nullptr;
    std::unique_ptr<mqtt::Commands> commands;
    QStringList begun;
    int ended = 0;
};

// "set 1 30 0": Set 30 % on display 1 ("*": all) with no fade;
// "on * 0 400", "off 2 0 0"; "run 300": the loop for 300 ms; "stop".
void play(Rig &rig, const QString &script)
{
    for (const QString &line : script.split(';', Qt::SkipEmptyParts)) {
        const QStringList w = line.simplified().split(' ');
        if (w[0] == "run") {
            rig.run(w[1].toInt());
        } else if (w[0] == "stop") {
            rig.commands->stop();
        } else {
            Command c;
            c.action = w[0] == "set" ? LightAction::Set : w[0] == "on" ? LightAction::On : LightAction::Off;
            c.level = w[2].toInt();
            c.fadeMs = w[3].toInt();
            rig.commands->take(w[1] == "*" ? std::string() : testutil::placeOf(w[1].toInt()), c);
        }
    }
}

} // namespace

void tst_Commands::init()
{
    simhid::reset();
}

void tst_Commands::script_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("levels");  // what the displays received, in order: a pattern
    QTest::addColumn<QString>("begun");   // fades begun: display > target
    QTest::addColumn<int>("ended");       // commands over
    // The record's fsyncs, after a further 1.5 s: each command's write within
    // a second, never two within a second. -1: not counted.
    QTest::addColumn<int>("flushes");
    QTest::newRow("one command") << "set 1 30 0; run 100" << "1:30" << "" << 1 << 1;
    QTest::newRow("a burst: its newest only") << "set 1 30 0; set 1 40 0; set 1 50 0; run 100" << "1:50" << "" << 1
                                              << 1;
    QTest::newRow("a burst: for all, after one for 1") << "set 1 30 0; set * 60 0; run 100" << "1:60 2:60" << "" << 2
                                                       << 1;
    QTest::newRow("a burst: one per display") << "set 1 30 0; set 2 40 0; run 100" << "1:30 2:40" << "" << 2 << 1;
    QTest::newRow("a fade: its target said as it begins") << "set 1 20 0; run 100; set 1 80 300; run 600"
                                                          << "1:20( 1:[2-7][0-9])+ 1:80" << "1>80" << 2 << 2;
    QTest::newRow("a newer command ends the fade")
        << "set 1 20 0; run 100; set 1 80 2000; run 300; set 1 10 0; run 2000" << "1:20( 1:[2-7][0-9])+ 1:10"
        << "1>80" << 2 << 2;
    QTest::newRow("another display's command leaves it")
        << "set 1 20 0; run 100; set 1 80 400; run 100; set 2 50 0; run 600"
        << "1:20( 1:[2-7][0-9])+ 2:50( 1:[2-7][0-9])* 1:80" << "1>80" << 3 << 2;
    QTest::newRow("stopped: the last step kept") << "set 1 20 0; run 100; set 1 80 2000; run 300; stop"
                                                 << "1:20( 1:[2-7][0-9])+" << "1>80" << 2 << -1;
    QTest::newRow("off, then on: the level remembered") << "set 1 40 0; run 100; off 1 0 0; run 100; on 1 0 0; run 100"
                                                        << "1:40 1:0 1:40" << "" << 3 << 1;
    QTest::newRow("a flood: flushed once a second")
        << "set 1 10 0; run 50; set 1 20 0; run 50; set 1 30 0; run 50; set 1 40 0; run 50; set 1 50 0; run 50; "
           "set 1 60 0; run 1100; set 1 70 0; run 100"
        << "1:10 1:20 1:30 1:40 1:50 1:60 1:70" << "" << 7 << 2;
}

void tst_Commands::script()
{
    QFETCH(QString, script);
    QFETCH(QString, levels);
    QFETCH(QString, begun);
    QFETCH(int, ended);
    QFETCH(int, flushes);
    Rig rig;
    QVERIFY(rig.sysfs.ok());
    QVERIFY(rig.open());
    play(rig, script);
    const QString received = rig.levels();
    QVERIFY2(QRegularExpression("^" + levels + "$").match(received).hasMatch(), qPrintable(received));
    QCOMPARE(rig.begun.join(' '), begun);
    QCOMPARE(rig.ended, ended);
    // Whatever the display got last is what the record holds, flushed:
    // stopped mid-fade too.
    if (!script.endsWith("stop"))
        rig.run(1500);
    if (flushes >= 0)
        QCOMPARE(rig.flushes(), flushes);
    const QString last = received.section(' ', -1).section(':', 1);
    const QString record = QString::fromStdString(rig.sysfs.record());
    QVERIFY2(record.contains(QRegularExpression(" " + last + "( |$)", QRegularExpression::MultilineOption)),
             qPrintable(record));
}

QTEST_GUILESS_MAIN(tst_Commands)
#include "tst_commands.moc"
