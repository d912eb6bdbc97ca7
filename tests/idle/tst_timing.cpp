#include <QtTest>

#include "../support/program.h"
#include "idle/options.h"
#include "idle/arbiter.h"
#include "idle/saved.h"
#include "idle/timing.h"

// When the screen goes dark and wakes, replayed as scripts of timed calls,
// and what the command line accepts.
class tst_Timing : public QObject
{
    Q_OBJECT

private slots:
    void script_data();
    void script();
    void durations_data();
    void durations();
    void commandLine_data();
    void commandLine();
    void refused_data();
    void refused();
    void arbiter_data();
    void arbiter();
    void saved_data();
    void saved();
};

namespace {

const long long s = 1000000000LL;

QString name(idle::Change c)
{
    switch (c) {
    case idle::Change::Dim: return "dim";
    case idle::Change::Off: return "off";
    case idle::Change::Wake: return "wake";
    case idle::Change::None: break;
    }
    return "-";
}

} // namespace

void tst_Timing::script_data()
{
    QTest::addColumn<int>("after");     // seconds
    QTest::addColumn<int>("dim");       // percent, -1 none
    QTest::addColumn<int>("offAfter");  // seconds, -1 never
    // "Ti": input at T s; "Te": expiry; "Tl", "Td", "To": someone else lit,
    // dimmed or turned off the screen.
    QTest::addColumn<QString>("calls");
    QTest::addColumn<QString>("changes");
    QTest::addColumn<int>("deadline");  // seconds after the last call, -1 none

    QTest::newRow("quiet for --after: off") << 30 << -1 << -1 << "30e" << "off" << -1;
    QTest::newRow("an early expiry changes nothing") << 30 << -1 << -1 << "29e" << "-" << 1;
    QTest::newRow("input restarts the quiet time") << 30 << -1 << -1 << "10i 30e 40e" << "- - off" << -1;
    QTest::newRow("input while lit is no wake") << 30 << -1 << -1 << "5i 6i" << "- -" << 30;
    QTest::newRow("an older stamp keeps the newer input") << 30 << -1 << -1 << "20i 10i 49e 50e"
                                                           << "- - - off" << -1;
    QTest::newRow("dim, then off after --off-after") << 30 << 20 << 60 << "30e 89e 90e" << "dim - off" << -1;
    QTest::newRow("dim without --off-after stays dimmed") << 30 << 20 << -1 << "30e 9999e" << "dim -" << -1;
    QTest::newRow("a late expiry counts from itself") << 30 << 20 << 60 << "30e 100e 150e"
                                                      << "dim off -" << -1;
    QTest::newRow("input while dimmed wakes") << 30 << 20 << 60 << "30e 35i" << "dim wake" << 30;
    QTest::newRow("input while off wakes, then the clock runs again") << 30 << -1 << -1 << "30e 40i 69e 70e"
                                                                       << "off wake - off" << -1;
    QTest::newRow("a second input after the wake is none") << 30 << -1 << -1 << "30e 40i 40i"
                                                           << "off wake -" << 30;
    QTest::newRow("lit by someone while off: the clock restarts") << 30 << -1 << -1 << "30e 50l 79e 80e"
                                                                  << "off - - off" << -1;
    QTest::newRow("lit by someone while dimmed") << 30 << 20 << 60 << "30e 40l 45i 74e 75e"
                                                 << "dim - - - dim" << 60;
    QTest::newRow("turned off by someone: input wakes") << 30 << -1 << -1 << "10o 20i" << "- wake" << 30;
    QTest::newRow("dimmed by someone: off counts from then") << 30 << 20 << 60 << "10d 69e 70e"
                                                             << "- - off" << -1;
    QTest::newRow("dimmed by someone without --off-after stays") << 30 << -1 << -1 << "10d 9999e"
                                                                 << "- -" << -1;
}

void tst_Timing::script()
{
    QFETCH(int, after);
    QFETCH(int, dim);
    QFETCH(int, offAfter);
    QFETCH(QString, calls);
    QFETCH(QString, changes);
    QFETCH(int, deadline);

    idle::Plan plan;
    plan.afterNs = after * s;
    plan.dimPercent = dim;
    plan.offAfterNs = offAfter < 0 ? -1 : offAfter * s;
    idle::Timing timing(plan, 0);
    QStringList got;
    long long last = 0;
    for (const QString &call : calls.split(' ')) {
        last = call.chopped(1).toLongLong() * s;
        switch (call.back().toLatin1()) {
        case 'i': got << name(timing.input(last)); break;
        case 'e': got << name(timing.expire(last)); break;
        case 'l': timing.adopt(idle::Stage::Lit, last); got << "-"; break;
        case 'd': timing.adopt(idle::Stage::Dimmed, last); got << "-"; break;
        case 'o': timing.adopt(idle::Stage::Off, last); got << "-"; break;
        default: QFAIL(qPrintable("bad call " + call));
        }
    }
    QCOMPARE(got.join(' '), changes);
    QCOMPARE(timing.deadline(), deadline < 0 ? -1 : last + deadline * s);
}

void tst_Timing::durations_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qlonglong>("ms");  // -1: refused

    QTest::newRow("1s, the shortest") << "1s" << 1000LL;
    QTest::newRow("30s") << "30s" << 30000LL;
    QTest::newRow("5m") << "5m" << 300000LL;
    QTest::newRow("1h") << "1h" << 3600000LL;
    QTest::newRow("24h, the longest") << "24h" << 86400000LL;
    QTest::newRow("1440m") << "1440m" << 86400000LL;
    QTest::newRow("leading zero") << "05m" << 300000LL;
    QTest::newRow("0s") << "0s" << -1LL;
    QTest::newRow("25h") << "25h" << -1LL;
    QTest::newRow("86401s") << "86401s" << -1LL;
    QTest::newRow("huge") << "99999999999999999999s" << -1LL;
    QTest::newRow("no unit") << "30" << -1LL;
    QTest::newRow("no number") << "s" << -1LL;
    QTest::newRow("negative") << "-5m" << -1LL;
    QTest::newRow("plus sign") << "+5m" << -1LL;
    QTest::newRow("fraction") << "1.5m" << -1LL;
    QTest::newRow("unknown unit") << "5d" << -1LL;
    QTest::newRow("two units") << "5m30s" << -1LL;
    QTest::newRow("500ms, too short") << "500ms" << -1LL;
    QTest::newRow("1500ms") << "1500ms" << 1500LL;
    QTest::newRow("24h in ms") << "86400000ms" << 86400000LL;
    QTest::newRow("blank") << "5 m" << -1LL;
    QTest::newRow("empty") << "" << -1LL;
}

void tst_Timing::durations()
{
    QFETCH(QString, text);
    QFETCH(qlonglong, ms);
    long long ns = -7;
    const bool ok = idle::parseDuration(text.toStdString(), &ns);
    QCOMPARE(ok, ms >= 0);
    QCOMPARE(ns, ok ? ms * 1000000 : -7);
}

void tst_Timing::commandLine_data()
{
    QTest::addColumn<QString>("args");
    // "after dim offAfter fade node place" as parsed, then with --night
    // " night WHEN level after offAfter" (WHEN: minutes "start-end" or
    // "sun LAT,LON"), or the reason's start.
    QTest::addColumn<QString>("result");

    QTest::newRow("defaults") << "" << "300 -1 -1 0 -1 ";
    QTest::newRow("every option") << "--after 30s --dim 20% --off-after 2m --fade 500 -d /dev/hidraw3"
                                  << "30 20 120 500 3 ";
    QTest::newRow("values after =") << "--after=1h --dim=3 --fade=0 --device=usb-0:1.2:1.0"
                                    << "3600 30 -1 0 -1 usb-0:1.2:1.0";
    QTest::newRow("dim 100%") << "--dim 100%" << "300 100 -1 0 -1 ";
    QTest::newRow("dim 0% is off") << "--dim 0%" << "invalid level '0%' for '--dim'";
    QTest::newRow("dim 101%") << "--dim 101%" << "invalid level '101%' for '--dim'";
    QTest::newRow("relative dim") << "--dim 10%-" << "invalid level '10%-' for '--dim'";
    QTest::newRow("after without unit") << "--after 30" << "invalid duration '30' for '--after'";
    QTest::newRow("negative off-after") << "--dim 5% --off-after -1m" << "invalid duration '-1m' for '--off-after'";
    QTest::newRow("after missing") << "--after" << "'--after' needs a value";
    QTest::newRow("off-after without dim") << "--off-after 1m" << "'--off-after' counts from the dim";
    QTest::newRow("fade too long") << "--fade 600001" << "invalid fade '600001'";
    QTest::newRow("fade negative") << "--fade -5" << "invalid fade '-5'";
    QTest::newRow("bad device") << "-d /dev/hidraw10" << "invalid device '/dev/hidraw10'";
    QTest::newRow("a path that is not a display node") << "-d /dev/input/event3" << "invalid device '/dev/input/event3'";
    QTest::newRow("operand") << "on" << "unexpected argument 'on'";
    QTest::newRow("units") << "--after 90000ms --dim 20% --off-after=1h --fade 2s" << "90 20 3600 2000 -1 ";
    QTest::newRow("fade bare is ms") << "--fade=3000" << "300 -1 -1 3000 -1 ";
    QTest::newRow("fade 10m") << "--fade 10m" << "300 -1 -1 600000 -1 ";
    QTest::newRow("fade 11m") << "--fade 11m" << "invalid fade '11m'";
    QTest::newRow("fade 500ms") << "--fade 500ms" << "300 -1 -1 500 -1 ";
    QTest::newRow("after 999ms") << "--after 999ms" << "invalid duration '999ms' for '--after'";
    QTest::newRow("device attached") << "-d/dev/hidraw3" << "300 -1 -1 0 3 ";
    QTest::newRow("-- ends the options") << "--dim 20% --" << "300 20 -1 0 -1 ";
    QTest::newRow("operand after --") << "-- --after" << "unexpected argument '--after'";
    QTest::newRow("help anywhere") << "--after 0s on --help" << "300 -1 -1 0 -1  help";
    QTest::newRow("help bundled") << "-hd /dev/hidraw2" << "300 -1 -1 0 2  help";
    QTest::newRow("unknown option") << "--dim 20% -x" << "unknown option '-x'";
    QTest::newRow("unknown long option") << "--wait=5m" << "unknown option '--wait'";
    QTest::newRow("dim missing") << "--dim" << "'--dim' needs a value";
    QTest::newRow("later error wins nothing") << "--after 5m --after 0s" << "invalid duration '0s'";
    QTest::newRow("night by the clock") << "--night 22:00-06:30 --night-level 10% --night-after 1m"
                                        << "300 -1 -1 0 -1  night 1320-390 10 60 -1";
    QTest::newRow("night within the day, H:MM") << "--night=9:05-17:00 --night-level 3"
                                                << "300 -1 -1 0 -1  night 545-1020 30 -1 -1";
    QTest::newRow("night by the sun")
        << "--dim 30% --night sunset-sunrise --location -33.9,18.4 --night-off-after 2m"
        << "300 30 -1 0 -1  night sun -33.9,18.4 -1 -1 120";
    QTest::newRow("the place first") << "--location=+52.52,13.40 --night=sunset-sunrise"
                                     << "300 -1 -1 0 -1  night sun 52.52,13.4 -1 -1 -1";
    QTest::newRow("the farthest place") << "--night sunset-sunrise --location -90,-180.0"
                                        << "300 -1 -1 0 -1  night sun -90,-180 -1 -1 -1";
    QTest::newRow("a night of no length") << "--night 00:00-00:00"
                                          << "invalid night '00:00-00:00' for '--night': it starts";
    QTest::newRow("night at 24:00") << "--night 22:00-24:00"
                                    << "invalid night '22:00-24:00' for '--night': give HH:MM";
    QTest::newRow("night at minute 60") << "--night 22:60-06:00" << "invalid night '22:60-06:00'";
    QTest::newRow("night in hours") << "--night 22-06" << "invalid night '22-06'";
    QTest::newRow("night of three times") << "--night 22:00-06:00-07:00" << "invalid night '22:00-06:00-07:00'";
    QTest::newRow("sunrise-sunset") << "--night sunrise-sunset" << "invalid night 'sunrise-sunset'";
    QTest::newRow("sun without place") << "--night sunset-sunrise" << "'--night sunset-sunrise' needs the place";
    QTest::newRow("place for a clock") << "--night 22:00-06:00 --location 1,2"
                                       << "'--location' is for '--night sunset";
    QTest::newRow("place alone") << "--location 52.5,13.4" << "'--location' is for the night";
    QTest::newRow("night level alone") << "--dim 20% --night-level 10%" << "'--night-level' is for the night";
    QTest::newRow("night after alone") << "--night-after 1m" << "'--night-after' is for the night";
    QTest::newRow("night off-after alone") << "--dim 20% --night-off-after 1m"
                                           << "'--night-off-after' is for the night";
    QTest::newRow("night off-after without dim") << "--night 22:00-06:00 --night-off-after 1m"
                                                 << "'--night-off-after' counts from the dim";
    QTest::newRow("night level 0%") << "--night 22:00-06:00 --night-level 0%"
                                    << "invalid level '0%' for '--night-level'";
    QTest::newRow("night after 0s") << "--night 22:00-06:00 --night-after 0s"
                                    << "invalid duration '0s' for '--night-after'";
    QTest::newRow("latitude 91") << "--night sunset-sunrise --location 91,0"
                                 << "invalid location '91,0' for '--location': the latitude";
    QTest::newRow("longitude 180.5") << "--night sunset-sunrise --location 0,180.5"
                                     << "invalid location '0,180.5' for '--location': the longitude";
    QTest::newRow("place with a semicolon") << "--night sunset-sunrise --location 52.5;13.4"
                                            << "invalid location '52.5;13.4'";
    QTest::newRow("place without longitude") << "--night sunset-sunrise --location 52.5," << "invalid location '52.5,'";
    QTest::newRow("place in exponents") << "--night sunset-sunrise --location 1e1,2" << "invalid location '1e1,2'";
    QTest::newRow("place not a number") << "--night sunset-sunrise --location nan,0" << "invalid location 'nan,0'";
    QTest::newRow("place of points") << "--night sunset-sunrise --location 5.,.5" << "invalid location '5.,.5'";
    QTest::newRow("help over a lone night level") << "--night-level 5% --help" << "300 -1 -1 0 -1  help";
}

void tst_Timing::commandLine()
{
    QFETCH(QString, args);
    QFETCH(QString, result);
    std::vector<std::string> argv;
    for (const QString &a : args.split(' ', Qt::SkipEmptyParts))
        argv.push_back(a.toStdString());
    idle::Options o;
    std::string why;
    if (!idle::parseOptions(argv, &o, &why)) {
        QVERIFY2(QString::fromStdString(why).startsWith(result), why.c_str());
        QVERIFY(why.find('\n') == std::string::npos);
        return;
    }
    const idle::Plan &p = o.plan;
    const idle::Options::Night &n = o.night;
    const auto seconds = [](long long ns) { return ns < 0 ? -1 : ns / s; };
    QString night;
    if (n.schedule.kind != idle::NightSchedule::Kind::None)
        night = QString(" night %1 %2 %3 %4")
                    .arg(n.schedule.kind == idle::NightSchedule::Kind::Sun
                             ? QString("sun %1,%2").arg(n.schedule.latitude).arg(n.schedule.longitude)
                             : QString("%1-%2").arg(n.schedule.startMinute).arg(n.schedule.endMinute))
                    .arg(n.level)
                    .arg(seconds(n.afterNs))
                    .arg(seconds(n.offAfterNs));
    QCOMPARE(QString("%1 %2 %3 %4 %5 %6")
                 .arg(p.afterNs / s)
                 .arg(p.dimPercent)
                 .arg(seconds(p.offAfterNs))
                 .arg(o.fadeMs)
                 .arg(o.selection.node)
                 .arg(QString::fromStdString(o.selection.place))
                 + night + (o.help ? " help" : ""),
             result);
}

void tst_Timing::refused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("why");
    QTest::newRow("unknown option") << QStringList{"-x"} << "unknown option '-x'";
    QTest::newRow("bad fade") << QStringList{"--fade", "1y"} << "invalid fade '1y': give 0 to 10m";
    QTest::newRow("operand") << QStringList{"--", "-d"} << "unexpected argument '-d'";
    QTest::newRow("night timeout without night") << QStringList{"--night-after", "5m"}
                                                 << "'--night-after' is for the night: give '--night' too";
}

// The program's own answer to a wrong command line: one line, where help
// is, status 2; nothing is watched.
void tst_Timing::refused()
{
    QFETCH(QStringList, args);
    QFETCH(QString, why);
    QProcess p;
    testutil::startProgram(p, IDLE_BINARY, args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
    const QStringList lines = QString::fromUtf8(p.readAllStandardError()).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].startsWith("brightness-idle: " + why), qPrintable(lines[0]));
    QCOMPARE(lines[1], QString("Try 'brightness-idle --help'."));
    QCOMPARE(lines[2], QString());
}

// Who wins, as brightness-idle's arbiter decides: "event | screen | what
// holds after it | day or night | verdict", in the names the log uses.
void tst_Timing::arbiter_data()
{
    QTest::addColumn<QString>("row");
    const char *const rows[] = {
        "touch | off | - | day | light",
        "touch | off | - | night | light at night level",
        "touch | dimmed | - | day | light",
        "touch | lit | - | day | restart timer",
        "touch | a person's dark | - | day | nothing",
        // A manual off is not undone by a presence sensor, coming or going.
        "presence ended | a person's dark | - | day | nothing",
        "presence began | a person's dark | presence | day | nothing",
        "presence began | off | presence | night | light at night level",
        "presence ended | lit | - | day | restart timer",
        "presence ended | lit | stay awake | day | nothing",
        // "Stay awake" is not broken by a night timeout, nor is any hold.
        "timer dim | lit | stay awake | night | nothing",
        "timer off | dimmed | inhibited | day | nothing",
        "timer dim | night level | presence | night | nothing",
        "timer dim | lit | - | day | dim",
        "timer off | dimmed | - | day | off",
        "timer off | lit | - | day | off",
        "timer dim | night level | - | night | dim",
        "timer off | off | - | day | nothing",
        "timer dim | a person's dark | - | day | nothing",
        "stay awake on | off | stay awake | day | light",
        "stay awake on | a person's dark | stay awake | day | nothing",
        "stay awake off | lit | inhibited | day | nothing",
        "stay awake off | lit | - | day | restart timer",
        "inhibitor taken | off | inhibited | day | nothing",
        "inhibitor taken | lit | inhibited | day | restart timer",
        "inhibitor gone | lit | presence | day | nothing",
        "wake | dimmed | - | day | light",
        "wake | off | - | night | light at night level",
        "wake | a person's dark | - | day | nothing",
        // The night changes levels only: never lights, never darkens a kept screen.
        "night begins | lit | stay awake | night | fade to night",
        "night begins | off | - | night | nothing",
        "night begins | dimmed | - | night | nothing",
        "night begins | a person's dark | - | night | nothing",
        "day begins | night level | - | day | fade to day",
        "day begins | off | - | day | nothing",
        "day begins | dimmed | - | day | nothing",
        "day begins | lit | - | day | nothing",
    };
    for (const char *row : rows)
        QTest::newRow(row) << QString(row);
}

void tst_Timing::arbiter()
{
    QFETCH(QString, row);
    const QStringList f = row.split(" | ");
    QCOMPARE(f.size(), 5);
    auto find = [](const QString &text, int count, auto name) {
        for (int i = 0; i < count; ++i)
            if (text == name(i))
                return i;
        return -1;
    };
    const int event = find(f[0], 12, [](int i) { return idle::nameOf(idle::Event(i)); });
    const int shown = find(f[1], 5, [](int i) { return idle::nameOf(idle::Shown(i)); });
    QVERIFY2(event >= 0 && shown >= 0, qPrintable(row));
    idle::Keepers keepers;
    keepers.stayAwake = f[2] == "stay awake";
    keepers.inhibited = f[2] == "inhibited";
    keepers.presence = f[2] == "presence";
    QVERIFY(keepers.any() || f[2] == "-");
    QCOMPARE(QString(idle::nameOf(idle::arbitrate(idle::Event(event), idle::Shown(shown), keepers, f[3] == "night"))),
             f[4]);
}

// The settings kept from the bus, over the command line's "--after 5m --dim
// 30% --off-after 5m": what a file gives, and what is left out, and why.
void tst_Timing::saved_data()
{
    QTest::addColumn<QString>("file");    // "|" between lines
    QTest::addColumn<QString>("result");  // After OffAfter NightAfter NightOffAfter NightLevel AutoBrightness
    QTest::addColumn<QString>("notes");   // "|" between them

    QTest::newRow("none") << "" << "300 300 0 0 0 0" << "";
    QTest::newRow("Home Assistant's two") << "After=30|NightLevel=25" << "30 300 0 0 25 0" << "";
    QTest::newRow("every one") << "After=60|OffAfter=0|NightAfter=20|NightOffAfter=40|NightLevel=100"
                               << "60 0 20 40 100 0" << "";
    QTest::newRow("comments and blank lines") << "# kept|||After=45" << "45 300 0 0 0 0" << "";
    QTest::newRow("the last line wins") << "After=45|After=50" << "50 300 0 0 0 0" << "";
    QTest::newRow("refused as the bus refuses it") << "After=0|NightLevel=101|After=86401"
                                                   << "300 300 0 0 0 0"
                                                   << "line 1 'After=0': the quiet time must be 1s to 24h; left out|"
                                                      "line 2 'NightLevel=101': a level must be 1% to 100%; left out|"
                                                      "line 3 'After=86401': the quiet time must be 1s to 24h; left out";
    QTest::newRow("the others kept beside a bad one") << "After=thirty|NightLevel=10" << "300 300 0 0 10 0"
                                                      << "line 1 'After=thirty': not a number; left out";
    QTest::newRow("no sign, no huge number") << "After=-5|After=99999999999|After=+5" << "300 300 0 0 0 0"
                                             << "line 1 'After=-5': not a number; left out|"
                                                "line 2 'After=99999999999': not a number; left out|"
                                                "line 3 'After=+5': not a number; left out";
    QTest::newRow("Home Assistant's auto brightness") << "AutoBrightness=1" << "300 300 0 0 0 1" << "";
    QTest::newRow("auto brightness is 0 or 1") << "AutoBrightness=2|AutoBrightness=1" << "300 300 0 0 0 1"
                                               << "line 1 'AutoBrightness=2': auto brightness is on (1) or off (0); left out";
    QTest::newRow("the dim is the command line's") << "DimLevel=50|Wake=1|After" << "300 300 0 0 0 0"
                                                   << "line 1 'DimLevel=50': not a setting; left out|"
                                                      "line 2 'Wake=1': not a setting; left out|"
                                                      "line 3 'After': not a number; left out";
}

void tst_Timing::saved()
{
    QFETCH(QString, file);
    QFETCH(QString, result);
    QFETCH(QString, notes);
    idle::Settings given;
    given.afterNs = 300 * s;
    given.dimPercent = 30;
    given.offAfterNs = 300 * s;
    std::vector<std::string> said;
    const idle::Settings got = idle::SavedSettings::parse(file.replace('|', '\n').toStdString(), given, &said);
    QStringList numbers, texts;
    for (const char *name : idle::writableNumbers)
        numbers << QString::number(idle::numberOf(got, name));
    for (const std::string &n : said)
        texts << QString::fromStdString(n);
    QCOMPARE(numbers.join(' '), result);
    QCOMPARE(texts.join('|'), notes);
    // Written back, only what differs from the command line, which reads
    // back as the same settings.
    const std::string text = idle::SavedSettings::format(got, given);
    QCOMPARE(text.empty(), got == given);
    std::vector<std::string> none;
    QVERIFY(idle::SavedSettings::parse(text, given, &none) == got);
    QVERIFY(none.empty());
    QCOMPARE(QString::fromStdString(text).count("After=300"), 0);
}

QTEST_GUILESS_MAIN(tst_Timing)
#include "tst_timing.moc"
