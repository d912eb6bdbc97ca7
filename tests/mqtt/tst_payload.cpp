#include <QtTest>

#include "mqtt/payload.h"

// The light's command parser, in-process: what Home Assistant's JSON light
// sends, as its json.dumps writes it, and what is refused.
class tst_Payload : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void lux_data();
    void lux();
};

void tst_Payload::parse_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");  // "on|off|set N fade MS", or the fault's text

    // Home Assistant's literal payloads: turn_on, brightness 128 of 255 on
    // scale 100, transitions, flash short (2) and long (10), turn_off.
    QTest::newRow("HA turn_on") << QByteArray("{\"state\": \"ON\"}") << "on fade 0";
    QTest::newRow("HA brightness 50") << QByteArray("{\"state\": \"ON\", \"brightness\": 50}") << "set 50 fade 0";
    QTest::newRow("HA brightness 1") << QByteArray("{\"state\": \"ON\", \"brightness\": 1}") << "set 1 fade 0";
    QTest::newRow("HA brightness 100") << QByteArray("{\"state\": \"ON\", \"brightness\": 100}") << "set 100 fade 0";
    QTest::newRow("HA transition 2.5") << QByteArray("{\"state\": \"ON\", \"brightness\": 20, \"transition\": 2.5}")
                                       << "set 20 fade 2500";
    QTest::newRow("HA transition 0.3 rounds to ms") << QByteArray("{\"state\": \"ON\", \"transition\": 0.3}")
                                                    << "on fade 300";
    QTest::newRow("HA transition 6553.0") << QByteArray("{\"state\": \"OFF\", \"transition\": 6553.0}")
                                          << "off fade 6553000";
    QTest::newRow("HA flash short") << QByteArray("{\"state\": \"ON\", \"brightness\": 70, \"flash\": 2}")
                                    << "set 70 fade 0";
    QTest::newRow("HA flash long") << QByteArray("{\"state\": \"OFF\", \"flash\": 10}") << "off fade 0";
    QTest::newRow("flash as a word") << QByteArray("{\"state\":\"ON\",\"flash\":\"long\"}") << "on fade 0";
    QTest::newRow("HA turn_off") << QByteArray("{\"state\": \"OFF\"}") << "off fade 0";
    QTest::newRow("HA turn_off with transition 2") << QByteArray("{\"state\": \"OFF\", \"transition\": 2}")
                                                   << "off fade 2000";
    // Brightness 0 darkens, with or without ON; it never lights.
    QTest::newRow("ON with brightness 0 is OFF") << QByteArray("{\"state\":\"ON\",\"brightness\":0}") << "off fade 0";
    QTest::newRow("brightness 0 alone is OFF") << QByteArray("{\"brightness\":0}") << "off fade 0";
    QTest::newRow("brightness -0 is 0") << QByteArray("{\"brightness\":-0}") << "off fade 0";
    QTest::newRow("brightness alone sets") << QByteArray("{\"brightness\":40}") << "set 40 fade 0";
    QTest::newRow("transition 0") << QByteArray("{\"brightness\":40,\"transition\":0}") << "set 40 fade 0";

    QTest::newRow("too large") << QByteArray("{\"brightness\":5,\"x\":\"" + QByteArray(5000, 'a') + "\"}")
                               << "larger than 4096 bytes";
    QTest::newRow("not JSON") << QByteArray("{\"brightness\":") << "not JSON";
    QTest::newRow("empty") << QByteArray() << "not JSON";
    QTest::newRow("a number") << QByteArray("40") << "not a JSON object";
    QTest::newRow("unknown key") << QByteArray("{\"brightness\":40,\"effect\":\"rainbow\"}") << "a key other than";
    QTest::newRow("flash of another kind") << QByteArray("{\"state\":\"ON\",\"flash\":\"strobe\"}") << "out of range";
    QTest::newRow("brightness as text") << QByteArray("{\"brightness\":\"40\"}") << "wrong type";
    QTest::newRow("brightness with a fraction") << QByteArray("{\"brightness\":40.5}") << "wrong type";
    QTest::newRow("brightness 101") << QByteArray("{\"brightness\":101}") << "out of range";
    QTest::newRow("brightness -1") << QByteArray("{\"brightness\":-1}") << "out of range";
    QTest::newRow("brightness 2^64+100 is no integer") << QByteArray("{\"brightness\":18446744073709551716}")
                                                       << "wrong type";
    QTest::newRow("brightness 2^63") << QByteArray("{\"brightness\":9223372036854775808}")
                                                       << "out of range";
    QTest::newRow("state in lower case") << QByteArray("{\"state\":\"on\"}") << "out of range";
    QTest::newRow("state as a boolean") << QByteArray("{\"state\":true}") << "wrong type";
    QTest::newRow("transition over HA's limit") << QByteArray("{\"state\":\"ON\",\"transition\":6553.5}")
                                                << "out of range";
    QTest::newRow("transition below 0") << QByteArray("{\"state\":\"ON\",\"transition\":-1}") << "out of range";
    QTest::newRow("transition alone") << QByteArray("{\"transition\":1}") << "neither state nor brightness";
    QTest::newRow("OFF with a brightness") << QByteArray("{\"state\":\"OFF\",\"brightness\":3}") << "state OFF with";
    QTest::newRow("OFF with brightness 0") << QByteArray("{\"state\":\"OFF\",\"brightness\":0}") << "state OFF with";
}

void tst_Payload::parse()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    mqtt::Command c;
    c.level = -7;
    const mqtt::Fault fault = mqtt::parseCommand(payload.constData(), static_cast<std::size_t>(payload.size()), &c);
    QString got;
    if (fault != mqtt::Fault::None) {
        got = mqtt::faultText(fault);
        // Refused: the command is left as it was.
        QCOMPARE(c.level, -7);
    } else {
        got = c.action == mqtt::LightAction::On    ? QString("on")
              : c.action == mqtt::LightAction::Off ? QString("off")
                                                   : QString("set %1").arg(c.level);
        got += QString(" fade %1").arg(c.fadeMs);
        QVERIFY(c.action == mqtt::LightAction::Set || c.level == 0);
    }
    QVERIFY2(fault == mqtt::Fault::None ? got == expected : got.contains(expected), qPrintable(got));
}

// A Home Assistant sensor's state as the state stream, Zigbee2MQTT and
// ESPHome publish it.
void tst_Payload::lux_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<double>("lux");  // -1: refused

    QTest::newRow("state stream, whole") << QByteArray("312") << 312.0;
    QTest::newRow("state stream, a fraction") << QByteArray("0.5") << 0.5;
    QTest::newRow("Zigbee2MQTT") << QByteArray("{\"illuminance\":18000,\"illuminance_lux\":63,\"linkquality\":90}")
                                 << 63.0;
    QTest::newRow("lux") << QByteArray("{\"lux\":7.25}") << 7.25;
    QTest::newRow("unknown") << QByteArray("unknown") << -1.0;
    QTest::newRow("negative") << QByteArray("-3") << -1.0;
    QTest::newRow("a string of a number") << QByteArray("\"312\"") << -1.0;
    QTest::newRow("no light in the object") << QByteArray("{\"temperature\":21}") << -1.0;
    QTest::newRow("a light that is no number") << QByteArray("{\"illuminance_lux\":\"bright\"}") << -1.0;
    QTest::newRow("a number and more") << QByteArray("312 lx") << -1.0;
}

void tst_Payload::lux()
{
    QFETCH(QByteArray, payload);
    QFETCH(double, lux);
    double got = -1;
    const bool taken = mqtt::parseLux(payload.constData(), static_cast<std::size_t>(payload.size()), &got);
    QCOMPARE(taken, lux >= 0);
    QCOMPARE(got, lux);
}

QTEST_GUILESS_MAIN(tst_Payload)
#include "tst_payload.moc"
