#include <QtTest>

#include "idle/ambient.h"

// The room's light as a level: the curve's form, its interpolation and what
// it learns, and the filter's timing over scripted samples.
class tst_Ambient : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void standard();
    void level_data();
    void level();
    void learn_data();
    void learn();
    void filter_data();
    void filter();
};

namespace {

const char *const standardCurve = "5:10%,50:35%,500:70%,5000:100%";

idle::AmbientCurve curveOf(const QString &text)
{
    idle::AmbientCurve curve;
    std::string why;
    if (!idle::AmbientCurve::parse(text.toStdString(), &curve, &why))
        qFatal("bad curve in a test row: %s", why.c_str());
    return curve;
}

struct Follow {
    int second;
    int level;
};

// Script: "LUX*N" N samples one second apart (N left out: one), "+S" S more
// seconds before the next sample, "H" hold() at the current second. The
// first sample comes at second 0, on a clock that does not start at 0.
QVector<Follow> follows(const QString &script, const idle::AmbientCurve &curve)
{
    const long long base = 5000LL * 1000000000LL;
    idle::AmbientFilter filter;
    QVector<Follow> out;
    int second = -1;
    for (const QString &token : script.split(' ', Qt::SkipEmptyParts)) {
        if (token == "H") {
            filter.hold(base + second * 1000000000LL);
        } else if (token.startsWith('+')) {
            second += token.mid(1).toInt();
        } else {
            const QStringList parts = token.split('*');
            const int count = parts.size() > 1 ? parts[1].toInt() : 1;
            for (int i = 0; i < count; ++i) {
                ++second;
                if (filter.sample(parts[0].toDouble(), base + second * 1000000000LL))
                    out.append({second, curve.level(filter.lux())});
            }
        }
    }
    return out;
}

} // namespace

void tst_Ambient::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("expected");  // text() when ok, else part of the reason

    QTest::newRow("standard") << standardCurve << true << standardCurve;
    QTest::newRow("without %") << "5:10,50:35" << true << "5:10%,50:35%";
    QTest::newRow("fractional lux") << "0.5:1%,12.25:40%" << true << "0.5:1%,12.25:40%";
    QTest::newRow("flat stretch") << "10:30%,100:30%,1000:80%" << true << "10:30%,100:30%,1000:80%";
    QTest::newRow("a million lux, as text() writes it") << "1:1%,1000000:100%" << true << "1:1%,1e+06:100%";
    QTest::newRow("exponent read back") << "1:1%,1e+06:100%" << true << "1:1%,1e+06:100%";
    QTest::newRow("lux kept to 6 digits") << "1.23456789:5%,10:50%" << true << "1.23457:5%,10:50%";

    QTest::newRow("empty") << "" << false << "such as";
    QTest::newRow("one point") << "5:10%" << false << "at least 2 points";
    QTest::newRow("lux 0") << "0:10%,50:35%" << false << "above 0";
    QTest::newRow("negative lux") << "-5:10%,50:35%" << false << "above 0";
    QTest::newRow("lux not a number") << "dim:10%,50:35%" << false << "above 0";
    QTest::newRow("lux infinite") << "5:10%,inf:35%" << false << "above 0";
    QTest::newRow("lux nan") << "nan:10%,50:35%" << false << "above 0";
    QTest::newRow("percent 0") << "5:0%,50:35%" << false << "1 to 100";
    QTest::newRow("percent 101") << "5:10%,50:101%" << false << "1 to 100";
    QTest::newRow("percent with a fraction") << "5:10.5%,50:35%" << false << "such as";
    QTest::newRow("no percent") << "5:,50:35%" << false << "such as";
    QTest::newRow("no colon") << "5,50:35%" << false << "such as";
    QTest::newRow("no lux") << ":10%,50:35%" << false << "such as";
    QTest::newRow("same lux twice") << "5:10%,5:20%" << false << "grow";
    QTest::newRow("lux falling") << "50:10%,5:20%" << false << "grow";
    QTest::newRow("the same lux to 6 digits") << "1.0000001:10%,1.0000002:20%" << false << "grow";
    QTest::newRow("level falling") << "5:40%,50:35%" << false << "must not fall";
    QTest::newRow("trailing junk") << "5:10%,50:35%x" << false << "such as";
    QTest::newRow("two %") << "5:10%,50:35%%" << false << "such as";
    QTest::newRow("trailing comma") << "5:10%,50:35%," << false << "such as";
    QTest::newRow("semicolons") << "5:10%;50:35%" << false << "such as";
    QTest::newRow("space") << "5:10%, 50:35%" << false << "above 0";
}

void tst_Ambient::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, expected);
    idle::AmbientCurve curve = curveOf("1:1%,2:2%");
    std::string why;
    QCOMPARE(idle::AmbientCurve::parse(text.toStdString(), &curve, &why), ok);
    if (!ok) {
        const QString reason = QString::fromStdString(why);
        QVERIFY2(reason.startsWith("--ambient-curve: ") && reason.contains(expected) && !reason.contains('\n'),
                 qPrintable(reason));
        QCOMPARE(curve.text(), std::string("1:1%,2:2%"));
        return;
    }
    QCOMPARE(QString::fromStdString(curve.text()), expected);
    idle::AmbientCurve again = curveOf("1:1%,2:2%");
    QVERIFY(idle::AmbientCurve::parse(curve.text(), &again, &why));
    QCOMPARE(again.text(), curve.text());
}

void tst_Ambient::standard()
{
    QCOMPARE(idle::AmbientCurve::standard().text(), std::string(standardCurve));
    QCOMPARE(idle::AmbientCurve().text(), std::string(standardCurve));
}

void tst_Ambient::level_data()
{
    QTest::addColumn<QString>("curve");
    QTest::addColumn<double>("lux");
    QTest::addColumn<int>("level");

    QTest::newRow("first point") << standardCurve << 5.0 << 10;
    QTest::newRow("second point") << standardCurve << 50.0 << 35;
    QTest::newRow("third point") << standardCurve << 500.0 << 70;
    QTest::newRow("last point") << standardCurve << 5000.0 << 100;
    // 10 + 25 * log10(15.81 / 5) = 22.499; at 16: 22.63.
    QTest::newRow("just short of halfway in log") << standardCurve << 15.81 << 22;
    QTest::newRow("just past halfway in log") << standardCurve << 16.0 << 23;
    // 17.53 in log; linear in lux would give 12.8.
    QTest::newRow("10 lux") << standardCurve << 10.0 << 18;
    QTest::newRow("100 lux: 45.54") << standardCurve << 100.0 << 46;
    QTest::newRow("200 lux: 56.07") << standardCurve << 200.0 << 56;
    QTest::newRow("1000 lux: 79.03") << standardCurve << 1000.0 << 79;
    QTest::newRow("2000 lux: 88.06") << standardCurve << 2000.0 << 88;
    QTest::newRow("below the first point") << standardCurve << 1.0 << 10;
    QTest::newRow("0 lux") << standardCurve << 0.0 << 10;
    QTest::newRow("negative lux") << standardCurve << -3.0 << 10;
    QTest::newRow("above the last point") << standardCurve << 100000.0 << 100;
    QTest::newRow("fractional points: a quarter of the way in log") << "0.5:1%,8:61%" << 1.0 << 16;
    QTest::newRow("flat stretch") << "10:30%,100:30%,1000:80%" << 50.0 << 30;
    QTest::newRow("after a flat stretch: 55") << "10:30%,100:30%,1000:80%" << 316.227766 << 55;
}

void tst_Ambient::level()
{
    QFETCH(QString, curve);
    QFETCH(double, lux);
    QFETCH(int, level);
    QCOMPARE(curveOf(curve).level(lux), level);
}

void tst_Ambient::learn_data()
{
    QTest::addColumn<QString>("curve");
    QTest::addColumn<QString>("learns");  // LUX:PERCENT, in order
    QTest::addColumn<QString>("expected");

    QTest::newRow("between points, both neighbours kept")
        << standardCurve << "150:40" << "5:10%,50:35%,150:40%,500:70%,5000:100%";
    QTest::newRow("within a quarter decade of a point: replaces it")
        << standardCurve << "85:50" << "5:10%,85:50%,500:70%,5000:100%";
    QTest::newRow("just beyond a quarter decade: the point stays")
        << standardCurve << "90:50" << "5:10%,50:35%,90:50%,500:70%,5000:100%";
    QTest::newRow("at a point's lux") << standardCurve << "500:60" << "5:10%,50:35%,500:60%,5000:100%";
    QTest::newRow("high level in a dim room raises what lies right")
        << standardCurve << "10:60" << "5:10%,10:60%,50:60%,500:70%,5000:100%";
    QTest::newRow("low level in a bright room lowers what lies left")
        << standardCurve << "2000:20" << "5:10%,50:20%,500:20%,2000:20%,5000:100%";
    QTest::newRow("below the first point") << standardCurve << "1:30" << "1:30%,5:30%,50:35%,500:70%,5000:100%";
    QTest::newRow("beyond the last point")
        << standardCurve << "20000:90" << "5:10%,50:35%,500:70%,5000:90%,20000:90%";
    QTest::newRow("twice nearby: the second replaces the first")
        << standardCurve << "150:40,200:45" << "5:10%,50:35%,200:45%,500:70%,5000:100%";
    QTest::newRow("twice far apart: both kept")
        << standardCurve << "150:40,1500:80" << "5:10%,50:35%,150:40%,500:70%,1500:80%,5000:100%";
    QTest::newRow("lux kept to 6 digits")
        << standardCurve << "123.456789:40" << "5:10%,50:35%,123.457:40%,500:70%,5000:100%";
    QTest::newRow("every point within a quarter decade: the farthest stays")
        << "10:20%,20:40%" << "14:50" << "14:50%,20:50%";
}

void tst_Ambient::learn()
{
    QFETCH(QString, curve);
    QFETCH(QString, learns);
    QFETCH(QString, expected);
    idle::AmbientCurve c = curveOf(curve);
    double lux = 0;
    int percent = 0;
    for (const QString &learned : learns.split(',')) {
        lux = learned.section(':', 0, 0).toDouble();
        percent = learned.section(':', 1, 1).toInt();
        c.learn(lux, percent);
    }
    QCOMPARE(QString::fromStdString(c.text()), expected);
    QCOMPARE(c.level(lux), percent);
    QCOMPARE(curveOf(QString::fromStdString(c.text())).text(), c.text());
}

void tst_Ambient::filter_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("watch");    // the second from which follows count
    QTest::addColumn<int>("first");    // the first comes by this second; -1: none comes
    QTest::addColumn<int>("settled");  // none comes after this second
    QTest::addColumn<int>("level");    // the last follow's level on the standard curve; -1: none

    QTest::newRow("the first sample is followed") << "200*3" << 0 << 0 << 0 << 56;
    QTest::newRow("lasting step 20 -> 500 lux") << "20*10 500*60" << 10 << 12 << 50 << 70;
    QTest::newRow("light halved for good") << "200*10 100*60" << 1 << 14 << 50 << 46;
    QTest::newRow("3 s shadow at half the light") << "200*10 100*3 200*30" << 1 << -1 << -1 << 56;
    QTest::newRow("noise within 10 %")
        << "200*5 220 180 220 180 210 190 220 220 220 180 180 180 220 180 200*10" << 1 << -1 << -1 << 56;
    QTest::newRow("lasting 10 % darker") << "200*5 180*60" << 1 << -1 << -1 << 56;
    QTest::newRow("dark: 0 lux") << "200*10 0*60" << 1 << 11 << 60 << 10;
    QTest::newRow("back from 0 lux") << "200*10 0*60 200*60" << 70 << 71 << 120 << 56;
    QTest::newRow("one sample after a 60 s gap is enough") << "200*10 +59 2000*2" << 1 << 69 << 69 << 88;
    // Settled, the level is the light's own (660 lux: 74 %), not a hair short.
    QTest::newRow("without hold, 560 -> 660 lux from 500 is followed")
        << "500*10 560*30 660*60" << 40 << 52 << 60 << 74;
    QTest::newRow("after hold at 560, 660 lux is not") << "500*10 560*30 H 660*60" << 40 << -1 << -1 << 70;
    QTest::newRow("after hold, tripled light is followed") << "500*10 H 1500*60" << 10 << 11 << 45 << 84;
    QTest::newRow("hold while following stops it") << "20*10 60*4 H 60*3" << 14 << -1 << -1 << 31;
    QTest::newRow("hold takes the light as it is by then") << "20*10 500 +30 H 500*5" << 11 << -1 << -1 << 29;
    QTest::newRow("hold before the first sample") << "H 200*5" << 0 << -1 << -1 << -1;
}

void tst_Ambient::filter()
{
    QFETCH(QString, script);
    QFETCH(int, watch);
    QFETCH(int, first);
    QFETCH(int, settled);
    QFETCH(int, level);
    const QVector<Follow> all = follows(script, idle::AmbientCurve::standard());
    QVector<Follow> watched;
    for (const Follow &f : all)
        if (f.second >= watch)
            watched.append(f);
    QCOMPARE(all.isEmpty() ? -1 : all.last().level, level);
    if (first < 0) {
        QVERIFY2(watched.isEmpty(), qPrintable(QString("followed at %1 s").arg(watched.value(0).second)));
        return;
    }
    QVERIFY(!watched.isEmpty());
    QVERIFY2(watched.first().second <= first, qPrintable(QString::number(watched.first().second)));
    QVERIFY2(watched.last().second <= settled, qPrintable(QString::number(watched.last().second)));
}

QTEST_APPLESS_MAIN(tst_Ambient)
#include "tst_ambient.moc"
