#include <QtTest>

#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include "idle/night.h"
#include "idle/options.h"
#include "idle/sun.h"
#include "idle/summary.h"

// Sunrise and sunset against almanac times, and when it is night in given
// time zones, across their clock changes.
class tst_Night : public QObject
{
    Q_OBJECT

private slots:
    void sun_data();
    void sun();
    void nightAt_data();
    void nightAt();
    void summary_data();
    void summary();
};

namespace {

long long utc(const QString &iso)
{
    const QDateTime t = QDateTime::fromString(iso, Qt::ISODate);
    return t.isValid() ? t.toSecsSinceEpoch() : -1;
}

QString iso(long long t)
{
    return QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toString(Qt::ISODate);
}

} // namespace

void tst_Night::sun_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<QDate>("date");  // the place's own
    // UTC, to the minute as almanacs give it; or "polar day", "polar night".
    QTest::addColumn<QString>("rise");
    QTest::addColumn<QString>("set");

    const double london[] = {51.5074, -0.1278}, newYork[] = {40.7128, -74.0060};
    const double sydney[] = {-33.8688, 151.2093}, tromso[] = {69.6492, 18.9553};
    QTest::newRow("London, longest day") << london[0] << london[1] << QDate(2024, 6, 20)
                                         << "2024-06-20T03:43:00Z" << "2024-06-20T20:21:00Z";
    QTest::newRow("London, shortest day") << london[0] << london[1] << QDate(2024, 12, 21)
                                          << "2024-12-21T08:04:00Z" << "2024-12-21T15:53:00Z";
    QTest::newRow("New York, shortest day") << newYork[0] << newYork[1] << QDate(2024, 12, 21)
                                            << "2024-12-21T12:16:00Z" << "2024-12-21T21:32:00Z";
    QTest::newRow("New York, longest day: sets the next UTC day")
        << newYork[0] << newYork[1] << QDate(2024, 6, 20) << "2024-06-20T09:25:00Z" << "2024-06-21T00:31:00Z";
    QTest::newRow("Sydney, shortest day: rises the UTC day before")
        << sydney[0] << sydney[1] << QDate(2024, 6, 21) << "2024-06-20T21:00:00Z" << "2024-06-21T06:53:00Z";
    QTest::newRow("Sydney, longest day") << sydney[0] << sydney[1] << QDate(2024, 12, 21)
                                         << "2024-12-20T18:41:00Z" << "2024-12-21T09:05:00Z";
    QTest::newRow("Reykjavik, sets after midnight") << 64.1466 << -21.9426 << QDate(2024, 6, 21)
                                                    << "2024-06-21T02:55:00Z" << "2024-06-22T00:04:00Z";
    QTest::newRow("Tromso, polar night") << tromso[0] << tromso[1] << QDate(2024, 12, 21) << "polar night" << "";
    QTest::newRow("Tromso, midnight sun") << tromso[0] << tromso[1] << QDate(2024, 6, 21) << "polar day" << "";
    QTest::newRow("North Pole in June") << 90.0 << 0.0 << QDate(2024, 6, 21) << "polar day" << "";
    QTest::newRow("South Pole in June") << -90.0 << 180.0 << QDate(2024, 6, 21) << "polar night" << "";
    QTest::newRow("after 2038: 52.5 N, longest day 2040") << 52.5 << 13.4 << QDate(2040, 6, 21)
                                                          << "2040-06-21T02:43:00Z" << "2040-06-21T19:33:00Z";
}

void tst_Night::sun()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(QDate, date);
    QFETCH(QString, rise);
    QFETCH(QString, set);
    const idle::SunDay got = idle::sunDay(idle::dayNumber(date.year(), date.month(), date.day()), latitude, longitude);
    if (rise.startsWith("polar")) {
        QCOMPARE(got.kind, rise == "polar day" ? idle::SunKind::PolarDay : idle::SunKind::PolarNight);
        return;
    }
    QCOMPARE(got.kind, idle::SunKind::RiseAndSet);
    // The formulas agree with almanacs within a minute or two.
    QVERIFY2(qAbs(got.rise - utc(rise)) <= 120, qPrintable(iso(got.rise)));
    QVERIFY2(qAbs(got.set - utc(set)) <= 120, qPrintable(iso(got.set)));
}

void tst_Night::nightAt_data()
{
    QTest::addColumn<QString>("tz");
    QTest::addColumn<QString>("schedule");  // --night's value, "" for none; the sun's with its place
    QTest::addColumn<QString>("at");        // UTC
    QTest::addColumn<bool>("night");
    QTest::addColumn<QString>("next");      // UTC, "" for never
    QTest::addColumn<bool>("nightThen");    // at next
    QTest::addColumn<int>("slack");         // seconds

    const QString berlin = "Europe/Berlin", ny = "America/New_York", utcZone = "UTC";
    // Berlin: 02:00 CET becomes 03:00 CEST on 2024-03-31 (01:00Z); 03:00
    // CEST becomes 02:00 CET on 2024-10-27 (01:00Z).
    QTest::newRow("day until the start") << berlin << "22:00-06:00" << "2024-01-15T12:00:00Z" << false
                                         << "2024-01-15T21:00:00Z" << true << 0;
    QTest::newRow("the start is night") << berlin << "22:00-06:00" << "2024-01-15T21:00:00Z" << true
                                        << "2024-01-16T05:00:00Z" << false << 0;
    QTest::newRow("after midnight, night") << berlin << "22:00-06:00" << "2024-01-15T23:30:00Z" << true
                                           << "2024-01-16T05:00:00Z" << false << 0;
    QTest::newRow("a second before the end") << berlin << "22:00-06:00" << "2024-01-16T04:59:59Z" << true
                                             << "2024-01-16T05:00:00Z" << false << 0;
    QTest::newRow("the spring night is an hour shorter") << berlin << "22:00-06:00" << "2024-03-30T22:00:00Z"
                                                         << true << "2024-03-31T04:00:00Z" << false << 0;
    QTest::newRow("the autumn night is an hour longer") << berlin << "22:00-06:00" << "2024-10-26T21:00:00Z"
                                                        << true << "2024-10-27T05:00:00Z" << false << 0;
    QTest::newRow("an end the clock skips: at 03:00") << berlin << "22:00-02:30" << "2024-03-30T23:30:00Z"
                                                      << true << "2024-03-31T01:00:00Z" << false << 0;
    QTest::newRow("a start the clock skips: at 03:00") << berlin << "02:30-07:00" << "2024-03-31T00:30:00Z"
                                                       << false << "2024-03-31T01:00:00Z" << true << 0;
    QTest::newRow("both skipped: no night") << berlin << "02:10-02:40" << "2024-03-31T00:30:00Z" << false
                                            << "2024-04-01T00:10:00Z" << true << 0;
    QTest::newRow("an end passed twice: the first") << berlin << "22:00-02:30" << "2024-10-27T00:15:00Z"
                                                    << true << "2024-10-27T00:30:00Z" << false << 0;
    QTest::newRow("the second pass of the end stays day") << berlin << "22:00-02:30" << "2024-10-27T01:15:00Z"
                                                          << false << "2024-10-27T21:00:00Z" << true << 0;
    QTest::newRow("the second pass of the start is night") << berlin << "02:30-07:00" << "2024-10-27T01:15:00Z"
                                                           << true << "2024-10-27T06:00:00Z" << false << 0;
    // New York: 02:00 EST becomes 03:00 EDT on 2024-03-10 (07:00Z); 02:00
    // EDT becomes 01:00 EST on 2024-11-03 (06:00Z).
    QTest::newRow("New York, spring") << ny << "23:00-02:15" << "2024-03-10T06:00:00Z" << true
                                      << "2024-03-10T07:00:00Z" << false << 0;
    QTest::newRow("New York, before a start passed twice") << ny << "01:30-06:00" << "2024-11-03T05:15:00Z"
                                                           << false << "2024-11-03T05:30:00Z" << true << 0;
    QTest::newRow("New York, its second pass") << ny << "01:30-06:00" << "2024-11-03T06:15:00Z" << true
                                               << "2024-11-03T11:00:00Z" << false << 0;
    QTest::newRow("New York, an end passed twice") << ny << "20:00-01:30" << "2024-11-03T06:40:00Z" << false
                                                   << "2024-11-04T01:00:00Z" << true << 0;
    QTest::newRow("UTC, a window within the day") << utcZone << "08:30-17:45" << "2024-05-01T09:00:00Z" << true
                                                  << "2024-05-01T17:45:00Z" << false << 0;
    QTest::newRow("UTC, after it") << utcZone << "08:30-17:45" << "2024-05-01T18:00:00Z" << false
                                   << "2024-05-02T08:30:00Z" << true << 0;
    QTest::newRow("UTC, from a leap day") << utcZone << "00:00-07:00" << "2024-02-29T23:59:59Z" << false
                                          << "2024-03-01T00:00:00Z" << true << 0;
    QTest::newRow("Kolkata, half an hour off") << "Asia/Kolkata" << "22:00-06:00" << "2024-06-01T17:00:00Z"
                                               << true << "2024-06-02T00:30:00Z" << false << 0;
    QTest::newRow("Auckland, autumn") << "Pacific/Auckland" << "22:00-06:00" << "2024-04-06T10:00:00Z" << true
                                      << "2024-04-06T18:00:00Z" << false << 0;
    QTest::newRow("Auckland, spring") << "Pacific/Auckland" << "22:00-06:00" << "2024-09-28T11:00:00Z" << true
                                      << "2024-09-28T17:00:00Z" << false << 0;
    QTest::newRow("no night") << utcZone << "" << "2024-05-01T12:00:00Z" << false << "" << false << 0;

    // Sun times from almanacs, to the minute.
    const QString berlinSun = "52.52,13.405", tromso = "69.6492,18.9553";
    QTest::newRow("Berlin, summer afternoon") << berlin << berlinSun << "2024-06-21T12:00:00Z" << false
                                              << "2024-06-21T19:33:00Z" << true << 120;
    QTest::newRow("Berlin, winter, after midnight") << berlin << berlinSun << "2024-12-21T00:00:00Z" << true
                                                    << "2024-12-21T07:15:00Z" << false << 120;
    QTest::newRow("Berlin, winter noon") << berlin << berlinSun << "2024-12-21T10:00:00Z" << false
                                         << "2024-12-21T14:54:00Z" << true << 120;
    QTest::newRow("Sydney, winter evening") << "Australia/Sydney" << "-33.8688,151.2093" << "2024-06-21T10:00:00Z"
                                            << true << "2024-06-21T21:00:00Z" << false << 120;
    QTest::newRow("New York's sun in Kolkata's zone") << "Asia/Kolkata" << "40.7128,-74.0060" << "2024-12-21T15:00:00Z"
                                                      << false << "2024-12-21T21:32:00Z" << true << 120;
    QTest::newRow("Reykjavik, a sunset after midnight") << "Atlantic/Reykjavik" << "64.1466,-21.9426"
                                                        << "2024-06-21T23:00:00Z" << false
                                                        << "2024-06-22T00:04:00Z" << true << 120;
    QTest::newRow("Tromso, polar night: ask at midnight") << "Europe/Oslo" << tromso << "2024-12-21T11:00:00Z"
                                                          << true << "2024-12-21T23:00:00Z" << true << 0;
    // The last sunset before the midnight sun is followed by no sunrise.
    QTest::newRow("Tromso, the midnight sun's first days") << "Europe/Oslo" << tromso << "2024-05-19T10:00:00Z"
                                                           << false << "2024-05-19T22:00:00Z" << false << 0;
    QTest::newRow("Tromso, midnight sun: ask at midnight") << "Europe/Oslo" << tromso << "2024-06-21T23:00:00Z"
                                                           << false << "2024-06-22T22:00:00Z" << false << 0;

    // Past 2038-01-19 03:14:07Z, where a 32-bit time_t ends; Berlin's rule
    // as a POSIX TZ value, which needs no time zone files.
    const QString berlinRule = "CET-1CEST,M3.5.0,M10.5.0/3", sun525 = "52.5,13.4";
    QTest::newRow("after 2038: a night across its end") << berlinRule << "22:00-06:00" << "2038-01-18T22:00:00Z"
                                                        << true << "2038-01-19T05:00:00Z" << false << 0;
    QTest::newRow("after 2038: a summer day by the clock, 2040") << berlinRule << "22:00-06:00"
                                                                 << "2040-06-21T12:00:00Z" << false
                                                                 << "2040-06-21T20:00:00Z" << true << 0;
    QTest::newRow("after 2038: the spring night is an hour shorter, 2040") << berlinRule << "22:00-06:00"
                                                                           << "2040-03-24T22:00:00Z" << true
                                                                           << "2040-03-25T04:00:00Z" << false << 0;
    QTest::newRow("after 2038: the sun's night of 2040-06-21 at 52.5 N") << berlinRule << sun525
                                                                         << "2040-06-21T12:00:00Z" << false
                                                                         << "2040-06-21T19:33:00Z" << true << 120;
    QTest::newRow("after 2038: its morning") << berlinRule << sun525 << "2040-06-21T23:00:00Z" << true
                                             << "2040-06-22T02:43:00Z" << false << 120;
    QTest::newRow("after 2038: the zone's file, 2040") << berlin << "22:00-06:00" << "2040-10-27T21:00:00Z"
                                                       << true << "2040-10-28T05:00:00Z" << false << 0;
}

void tst_Night::nightAt()
{
    QFETCH(QString, tz);
    QFETCH(QString, schedule);
    QFETCH(QString, at);
    QFETCH(bool, night);
    QFETCH(QString, next);
    QFETCH(bool, nightThen);
    QFETCH(int, slack);

    if (sizeof(time_t) < 8 && (utc(at) > INT32_MAX || utc(next) > INT32_MAX))
        QSKIP("32-bit time_t: the local time past 2038-01-19 is out of this build's reach");
    // A zone's name needs its file; a POSIX rule (with a ',') does not.
    if (!tz.contains(','))
        QVERIFY(QFile::exists("/usr/share/zoneinfo/" + tz));
    qputenv("TZ", tz.toLatin1());
    tzset();
    idle::NightSchedule s;
    std::string why;
    if (schedule.contains(',')) {
        QVERIFY(idle::parseNight("sunset-sunrise", &s, &why));
        QVERIFY(idle::parseLocation(schedule.toStdString(), &s.latitude, &s.longitude, &why));
    } else if (!schedule.isEmpty()) {
        QVERIFY2(idle::parseNight(schedule.toStdString(), &s, &why), why.c_str());
    }
    const long long wall = utc(at);
    const idle::NightNow now = idle::nightAt(s, wall);
    QCOMPARE(now.night, night);
    if (next.isEmpty()) {
        QCOMPARE(now.nextChange, -1LL);
        return;
    }
    QVERIFY2(qAbs(now.nextChange - utc(next)) <= slack,
             qPrintable(iso(now.nextChange)));
    QVERIFY(now.nextChange > wall);
    QCOMPARE(idle::nightAt(s, now.nextChange).night, nightThen);
    QCOMPARE(idle::nightAt(s, now.nextChange - 1).night, night);
}

// The start-up line, in Berlin's time on Wednesday 2025-12-10 (sunset 15:52 and
// sunrise 08:07 the next morning, as almanacs give them).
void tst_Night::summary_data()
{
    QTest::addColumn<QString>("options");  // after dim offAfter fade night nightAfter nightLevel; "-": none
    QTest::addColumn<QString>("now");      // local
    QTest::addColumn<QString>("line");

    QTest::newRow("off alone") << "5m - - 0 - - -" << "12:00" << "after 5m without a touch: off; no fade";
    QTest::newRow("dim, off, fade") << "5m 30 5m 1000 - - -" << "12:00"
                                    << "after 5m without a touch: dim to 30%, off 5m later; fades over 1000 ms";
    QTest::newRow("dim, never off") << "90s 30 - 0 - - -" << "12:00"
                                    << "after 90s without a touch: dim to 30%, never off; no fade";
    QTest::newRow("a clock's night, to come") << "5m - - 0 22:00-06:30 1m 10" << "12:00"
                                              << "after 5m without a touch: off; no fade; night 22:00-06:30 "
                                                 "(next from Wed 22:00 to Thu 06:30): after 1m without a touch: "
                                                 "off, a wake brings at most 10%";
    QTest::newRow("a clock's night, now") << "1h 20 2h 0 22:00-06:30 - -" << "23:15"
                                          << "after 1h without a touch: dim to 20%, off 2h later; no fade; night "
                                             "22:00-06:30 (night now, until Thu 06:30): after 1h without a touch: "
                                             "dim to 20%, off 2h later";
    QTest::newRow("sunset to sunrise in Berlin") << "5m - - 0 sun 1m 10" << "12:00"
                                                 << "after 5m without a touch: off; no fade; night from sunset to "
                                                    "sunrise at 52.52,13.40 (next from Wed 15:52 to Thu 08:07): "
                                                    "after 1m without a touch: off, a wake brings at most 10%";
}

void tst_Night::summary()
{
    QFETCH(QString, options);
    QFETCH(QString, now);
    QFETCH(QString, line);
    const QStringList o = options.split(' ');
    const auto ns = [](const QString &t) {
        long long v = -1;
        return t == "-" || !idle::parseDuration(t.toStdString(), &v) ? -1LL : v;
    };
    idle::Settings s;
    s.afterNs = ns(o[0]);
    s.dimPercent = o[1] == "-" ? -1 : o[1].toInt();
    s.offAfterNs = ns(o[2]);
    s.nightAfterNs = ns(o[5]);
    s.nightLevel = o[6] == "-" ? -1 : o[6].toInt();
    idle::NightSchedule night;
    std::string why;
    if (o[4] == "sun") {
        QVERIFY(idle::parseNight("sunset-sunrise", &night, &why));
        night.latitude = 52.52;
        night.longitude = 13.40;
    } else if (o[4] != "-") {
        QVERIFY2(idle::parseNight(o[4].toStdString(), &night, &why), why.c_str());
    }
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const long long wall = utc("2025-12-10T" + now + ":00+01:00");
    QCOMPARE(QString::fromStdString(idle::summary(s, o[3].toInt(), night, wall)), line);
}

QTEST_GUILESS_MAIN(tst_Night)
#include "tst_night.moc"
