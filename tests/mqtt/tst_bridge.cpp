#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <sys/stat.h>

#include "../support/program.h"
#include "../support/sysfstree.h"
#include "broker.h"
#include "mqtt/options.h"

// brightness-mqtt as a process on the simulated display, against a real
// broker, seen through a real client.
class tst_Bridge : public QObject
{
    Q_OBJECT

private slots:
    void discovery();
    void commands_data();
    void commands();
    void flood();
    void retainedCommands();
    void foreignConfigs();
    void oversized();
    void olderBroker();
    void notABroker_data();
    void notABroker();
    void besideCtl();
    void fadeBesideCtl_data();
    void fadeBesideCtl();
    void brokerRestart_data();
    void brokerRestart();
    void clonedCard();
    void relayedLog();
    void badPayloads_data();
    void badPayloads();
    void password_data();
    void password();
    void forget_data();
    void forget();
    void refusedArguments_data();
    void refusedArguments();
    void options_data();
    void options();
    void topics_data();
    void topics();
    void idleDiscovery_data();
    void idleDiscovery();
    void idleCommands_data();
    void idleCommands();
    void idleFlood();
    void idleOnTheBus();

private:
    const QString place = QString::fromStdString(testutil::placeOf(1));
    const QString base = "brightness/test/pci-0000_00_14_0-usb-0_1_1_0";
    const QString idle = "brightness/test/idle/";

    struct Rig {
        testutil::SimulatedDisplayFiles sim;
        testutil::SysfsTree staged;
        Broker broker;
        Client client;
        Bus bus;  // started by the tests of brightness-idle's entities
        QProcess standin;  // brightness-idle on it
        QByteArray called;
        QProcess bridge;
        QByteArray err;
        QTemporaryDir fsyncs;  // the bridge's fsync calls, a line each, when counted
        ~Rig()
        {
            bridge.kill();
            bridge.waitForFinished();
            standin.kill();
            standin.waitForFinished();
        }
        // What the stand-in was asked, a line per call.
        QString calls()
        {
            called += standin.readAllStandardOutput();
            return QString::fromUtf8(called).trimmed();
        }
        QString errors()
        {
            err += bridge.readAllStandardError();
            return QString::fromUtf8(err);
        }
    };
    // The broker, a client on every topic, one display on hidraw1 and,
    // unless arguments say otherwise, the bridge as node "test".
    bool setUp(Rig &rig, const QByteArray &record = QByteArray(), const QByteArray &brokerConf = QByteArray(),
               const char *user = nullptr, const char *password = nullptr)
    {
        rig.sim.setNodes({"1 present 3 0483 5750"});
        return rig.staged.stagePlace(1, testutil::usbDevicePath(1))
            && (record.isEmpty() || rig.staged.setRecord(QString::fromUtf8(record).arg(place).toStdString()))
            && rig.broker.start(brokerConf) && rig.client.connect(rig.broker.port, "#", user, password);
    }
    void startBridge(Rig &rig, const QStringList &args = {"--node-id", "test"})
    {
        QProcessEnvironment env = rig.sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
        // No system bus unless the test started one.
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", rig.bus.address.isEmpty() ? "unix:path=/nonexistent/bus" : rig.bus.address);
        // Beside the simulated display, where that one is preloaded (under
        // the emulator, in its guest). "localhost" is ::1 first, as on most
        // machines, and the rig's brokers listen on 127.0.0.1 alone.
        const QString preloads = env.contains("QEMU_SET_ENV") ? "QEMU_SET_ENV" : "LD_PRELOAD";
        env.insert(preloads, env.value(preloads) + ":" + FSYNCLOG_PRELOAD + ":" + LOCALHOST6_PRELOAD);
        env.insert("FSYNC_LOG", rig.fsyncs.filePath("log"));
        rig.bridge.setProcessEnvironment(env);
        testutil::startProgram(rig.bridge, MQTT_DRIVER_BINARY,
                               QStringList{QString::fromStdString(rig.staged.path()),
                                           QString::fromStdString(rig.staged.stateDir()),
                                           "-p", QString::number(rig.broker.port)} + args);
    }
    // The stand-in for brightness-idle on the rig's bus, with values other
    // than its defaults ("After=120").
    static bool startIdle(Rig &rig, const QStringList &values = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", rig.bus.address);
        rig.standin.setProcessEnvironment(env);
        rig.called.clear();
        testutil::startProgram(rig.standin, IDLE_STANDIN_BINARY, values);
        return rig.standin.waitForReadyRead(5000) && rig.standin.readLine() == "ready\n";
    }
    static QJsonObject json(const Message &m) { return QJsonDocument::fromJson(m.payload).object(); }
    static QStringList levels(const Rig &rig)
    {
        QStringList out;
        for (int level : rig.sim.levels())
            out << QString::number(level);
        return out;
    }
};

void tst_Bridge::discovery()
{
    Rig rig;
    QVERIFY(setUp(rig));
    QString uniqueId;
    for (int run = 0; run < 2; ++run) {
        // The machine's own id, the same on every start.
        startBridge(rig, {});
        QTRY_VERIFY2_WITH_TIMEOUT(rig.client.messages("^homeassistant/light/.*/config$").size() > run,
                                  qPrintable(rig.errors()), 10000);
        const QJsonObject config = json(rig.client.last("^homeassistant/light/.*/config$"));
        QVERIFY2(QRegularExpression("^brightness_[0-9a-f]{12}_pci-0000_00_14_0-usb-0_1_1_0$")
                     .match(config["unique_id"].toString()).hasMatch(), qPrintable(config["unique_id"].toString()));
        QVERIFY(uniqueId.isEmpty() || uniqueId == config["unique_id"].toString());
        uniqueId = config["unique_id"].toString();
        rig.bridge.terminate();
        QVERIFY(rig.bridge.waitForFinished(5000));
        QCOMPARE(rig.bridge.exitCode(), 0);
    }

    Client late;  // sees only what the broker retained
    startBridge(rig);
    QTRY_VERIFY_WITH_TIMEOUT(rig.client.last("^brightness/test/availability$").payload == "online", 10000);
    QVERIFY(late.connect(rig.broker.port, "#"));
    const QString topic = "homeassistant/light/test/pci-0000_00_14_0-usb-0_1_1_0/config";
    QTRY_VERIFY_WITH_TIMEOUT(!late.messages("^" + base + "/state$").isEmpty(), 5000);
    const Message config = late.last("^" + topic + "$");
    QVERIFY(config.retained);
    const QJsonObject c = json(config);
    // Home Assistant's required keys, one by one.
    QCOMPARE(c["schema"].toString(), QString("json"));
    QVERIFY(c.contains("name") && c["name"].isNull());
    QCOMPARE(c["flash"], QJsonValue(false));
    QCOMPARE(c["origin"].toObject()["name"].toString(), QString("brightness-mqtt"));
    QVERIFY(!c["origin"].toObject()["sw_version"].toString().isEmpty());
    QCOMPARE(c["device"].toObject()["identifiers"].toArray(), QJsonArray({"test_pci-0000_00_14_0-usb-0_1_1_0"}));
    QCOMPARE(c["device"].toObject()["name"].toString(), QSysInfo::machineHostName());
    QCOMPARE(c["brightness_scale"].toInt(), 100);
    QCOMPARE(c["supported_color_modes"].toArray(), QJsonArray({"brightness"}));
    QCOMPARE(c["unique_id"].toString(), QString("test_pci-0000_00_14_0-usb-0_1_1_0"));
    QCOMPARE(c["command_topic"].toString(), base + "/set");
    QCOMPARE(c["state_topic"].toString(), base + "/state");
    QCOMPARE(c["availability"].toArray(), QJsonArray({QJsonObject{{"topic", "brightness/test/availability"}},
                                                      QJsonObject{{"topic", base + "/availability"}}}));
    QCOMPARE(c["availability_mode"].toString(), QString("all"));
    QVERIFY(late.last("^" + base + "/availability$").retained);
    QCOMPARE(late.last("^" + base + "/availability$").payload, QByteArray("online"));
    const Message state = late.last("^" + base + "/state$");
    QVERIFY(state.retained);
    // Nothing remembered: the state is unknown, not a guess.
    QCOMPARE(json(state)["state"], QJsonValue());
    QCOMPARE(json(state)["remembered"].toBool(true), false);
    // No system bus: the lights as ever, brightness-idle's entities offered
    // but unavailable.
    QTRY_COMPARE_WITH_TIMEOUT(late.last("^" + idle + "availability$").payload, QByteArray("offline"), 5000);
    QVERIFY(late.last("^homeassistant/button/test/idle_wake/config$").retained);
    QVERIFY2(rig.errors().contains("cannot connect to the system bus"), qPrintable(rig.errors()));

    // Unplugged while the bridge was away: unavailable, and its config (the
    // name and area given in Home Assistant) kept.
    rig.bridge.terminate();
    QVERIFY(rig.bridge.waitForFinished(5000));
    rig.sim.setNodes({});
    const int configs = rig.client.messages("^" + topic + "$").size();
    startBridge(rig, {"--node-id", "test", "--name", place + "=Hall"});
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + base + "/availability$").payload, QByteArray("offline"), 10000);
    QTest::qWait(300);
    QCOMPARE(rig.client.messages("^" + topic + "$").size(), configs);
    // Back: online under the name given to it.
    rig.sim.setNodes({"1 present 3 0483 5750"});
    rig.bridge.terminate();
    QVERIFY(rig.bridge.waitForFinished(5000));
    startBridge(rig, {"--node-id", "test", "--name", place + "=Hall"});
    QTRY_COMPARE_WITH_TIMEOUT(json(rig.client.last("^" + topic + "$"))["device"].toObject()["name"].toString(),
                              QString("Hall"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + base + "/availability$").payload, QByteArray("online"), 5000);
    rig.bridge.terminate();
    QVERIFY(rig.bridge.waitForFinished(5000));

    // Forgotten on purpose: nothing of it stays at the broker.
    QProcess forget;
    testutil::startProgram(forget, MQTT_DRIVER_BINARY,
                           {QString::fromStdString(rig.staged.path()), QString::fromStdString(rig.staged.stateDir()),
                            "-p", QString::number(rig.broker.port), "--node-id", "test", "--forget", place,
                            "--forget", "idle"});
    QVERIFY(forget.waitForFinished(10000));
    QCOMPARE(forget.exitCode(), 0);
    Client after;
    QVERIFY(after.connect(rig.broker.port, "#"));
    QTRY_VERIFY_WITH_TIMEOUT(!after.messages("^brightness/test/availability$").isEmpty(), 5000);
    QTest::qWait(300);
    for (const QString &t : {topic, base + "/state", base + "/availability", idle + ".*", QString("homeassistant/.*/test/idle_.*")})
        QVERIFY2(after.messages("^" + t + "$").isEmpty(), qPrintable(t));
}

void tst_Bridge::commands_data()
{
    QTest::addColumn<QByteArray>("record");      // %1: the display's place
    QTest::addColumn<QStringList>("sends");      // "group PAYLOAD", "display PAYLOAD" or "wait MS"
    QTest::addColumn<QString>("writes");         // the written levels, space-separated
    QTest::addColumn<QString>("state");          // the state published last
    QTest::addColumn<int>("remembered");
    QTest::addColumn<int>("states");             // the most states published after the first send; 0: any

    const QByteArray at60 = "%1 0483:5750 60 4\n";
    QTest::newRow("brightness on the group topic") << QByteArray() << QStringList{"group {\"brightness\":40}"}
                                                   << "^40$" << "ON" << 40 << 0;
    QTest::newRow("ON with a brightness on the display's topic")
        << QByteArray() << QStringList{"display {\"state\":\"ON\",\"brightness\":55}"} << "^55$" << "ON" << 55 << 0;
    QTest::newRow("OFF keeps the remembered level") << at60 << QStringList{"display {\"state\":\"OFF\"}"} << "^0$"
                                                    << "OFF" << 60 << 0;
    QTest::newRow("brightness 0 is OFF") << at60 << QStringList{"group {\"brightness\":0}"} << "^0$" << "OFF" << 60 << 0;
    QTest::newRow("ON brings the remembered level back")
        << at60 << QStringList{"display {\"state\":\"OFF\"}", "wait 300", "display {\"state\":\"ON\"}"} << "^0 60$"
        << "ON" << 60 << 0;
    QTest::newRow("ON with nothing remembered: full") << QByteArray() << QStringList{"group {\"state\":\"ON\"}"}
                                                      << "^100$" << "ON" << 100 << 0;
    QTest::newRow("transition fades") << at60 << QStringList{"display {\"brightness\":90,\"transition\":0.3}"}
                                      << "^6[1-9]( \\d+)+ 90$" << "ON" << 90 << 0;
    QStringList burst;
    for (int level = 1; level <= 30; ++level)
        burst << QString("group {\"brightness\":%1}").arg(level);
    QTest::newRow("a burst writes its newest level") << QByteArray() << burst << "^(\\d+ ){0,9}30$" << "ON" << 30 << 0;
    QTest::newRow("a newer command stops a fade")
        << at60 << QStringList{"group {\"brightness\":100,\"transition\":20}", "wait 1200", "display {\"brightness\":10}", "wait 1000"}
        << "^6[1-9]( \\d+)* 10$" << "ON" << 10 << 0;

    // What Home Assistant's JSON light sends (its own json.dumps), taken
    // literally: turn_on, brightness 128 of 255 on scale 100, transitions,
    // flash (which older versions send whatever the discovery says), and
    // turn_off with a transition.
    QTest::newRow("HA turn_on") << QByteArray() << QStringList{"display {\"state\": \"ON\"}"} << "^100$" << "ON" << 100
                                << 2;
    QTest::newRow("HA brightness 128") << at60 << QStringList{"display {\"state\": \"ON\", \"brightness\": 50}"}
                                       << "^50$" << "ON" << 50 << 2;
    QTest::newRow("HA transition 2.5") << at60
                                       << QStringList{"display {\"state\": \"ON\", \"brightness\": 20, \"transition\": 2.5}"}
                                       << "^(\\d+ )+20$" << "ON" << 20 << 3;
    QTest::newRow("HA transition 6553: OFF from the start")
        << at60 << QStringList{"display {\"state\": \"OFF\", \"transition\": 6553.0}"} << "^$" << "OFF" << 60 << 2;
    QTest::newRow("HA flash short") << at60 << QStringList{"display {\"state\": \"ON\", \"brightness\": 70, \"flash\": 2}"}
                                    << "^70$" << "ON" << 70 << 2;
    QTest::newRow("HA turn_off with flash long") << at60 << QStringList{"group {\"state\": \"OFF\", \"flash\": 10}"}
                                                 << "^0$" << "OFF" << 60 << 2;
    QTest::newRow("HA turn_off with transition 2") << at60
                                                   << QStringList{"display {\"state\": \"OFF\", \"transition\": 2}"}
                                                   << "^(\\d+ )+0$" << "OFF" << 60 << 3;
}

void tst_Bridge::commands()
{
    QFETCH(QByteArray, record);
    QFETCH(QStringList, sends);
    QFETCH(QString, writes);
    QFETCH(QString, state);
    QFETCH(int, remembered);
    QFETCH(int, states);
    Rig rig;
    QVERIFY(setUp(rig, record));
    startBridge(rig);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + base + "/state$").isEmpty(), 10000);
    const int before = rig.client.messages("^" + base + "/state$").size();
    for (const QString &send : sends) {
        const QString kind = send.section(' ', 0, 0), payload = send.section(' ', 1);
        if (kind == "wait")
            QTest::qWait(payload.toInt());
        else
            QVERIFY(rig.client.publish(kind == "group" ? "brightness/all/set" : base + "/set", payload.toUtf8()));
    }
    const QRegularExpression written(writes);
    QTRY_VERIFY2_WITH_TIMEOUT(written.match(levels(rig).join(' ')).hasMatch(), qPrintable(levels(rig).join(' ')), 10000);
    auto last = [&] { return json(rig.client.last("^" + base + "/state$")); };
    QTRY_COMPARE_WITH_TIMEOUT(last()["state"].toString(), state, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(last()["remembered_brightness"].toInt(), remembered, 5000);
    QCOMPARE(last()["remembered"].toBool(), true);
    // From the start of a fade, the state is where it goes: OFF for a fade
    // to off.
    if (states)
        QCOMPARE(json(rig.client.messages("^" + base + "/state$").value(before))["state"].toString(), state);
    QTest::qWait(200);  // nothing more comes
    QVERIFY2(written.match(levels(rig).join(' ')).hasMatch(), qPrintable(levels(rig).join(' ')));
    QCOMPARE(rig.bridge.state(), QProcess::Running);
    const int published = rig.client.messages("^" + base + "/state$").size() - before;
    QVERIFY2(!states || published <= states, qPrintable(QString::number(published)));
}

void tst_Bridge::flood()
{
    // Each command is written to the display at once; the record reaches
    // the disk within a second, at most one fsync a second.
    Rig rig;
    QVERIFY(setUp(rig));
    startBridge(rig);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + base + "/state$").isEmpty(), 10000);
    const auto fsyncs = [&] {
        QFile log(rig.fsyncs.filePath("log"));
        return log.open(QFile::ReadOnly) ? QString::fromUtf8(log.readAll()).count("/.levels.") : 0;
    };
    QCOMPARE(fsyncs(), 0);
    QElapsedTimer flood;
    flood.start();
    for (int level = 1; level <= 20; ++level) {
        QVERIFY(rig.client.publish(base + "/set", QString("{\"brightness\":%1}").arg(level).toUtf8()));
        QTest::qWait(100);
    }
    const qint64 span = flood.elapsed();
    // Durable a second after the last write, and nothing more later.
    QTest::qWait(1500);
    const int flushed = fsyncs();
    QVERIFY2(QRegularExpression("^(\\d+ ){14,19}20$").match(levels(rig).join(' ')).hasMatch(),
             qPrintable(levels(rig).join(' ')));
    qInfo("20 commands in %lld ms: %d writes, %d fsyncs of the record", span, int(levels(rig).size()), flushed);
    QVERIFY2(flushed >= 1 && flushed <= span / 1000 + 2, qPrintable(QString::number(flushed)));
    QTest::qWait(1200);
    QCOMPARE(fsyncs(), flushed);
    QTRY_COMPARE_WITH_TIMEOUT(json(rig.client.last("^" + base + "/state$"))["brightness"].toInt(), 20, 5000);
    // Stopped right after a command: the record is flushed before the exit.
    QVERIFY(rig.client.publish(base + "/set", "{\"brightness\":21}"));
    QTRY_COMPARE_WITH_TIMEOUT(levels(rig).value(levels(rig).size() - 1), QString("21"), 5000);
    rig.bridge.terminate();
    QVERIFY(rig.bridge.waitForFinished(5000));
    QCOMPARE(rig.bridge.exitCode(), 0);
    QCOMPARE(fsyncs(), flushed + 1);
}

void tst_Bridge::retainedCommands()
{
    // Left retained on the command topics by someone: replayed at every
    // connect, they must not override what was set since.
    Rig rig;
    QVERIFY(setUp(rig, "%1 0483:5750 60 4\n"));
    Client other;
    QVERIFY(other.connect(rig.broker.port));
    QVERIFY(other.publish(base + "/set", "{\"brightness\":5}", true));
    QVERIFY(other.publish("brightness/all/set", "{\"state\":\"OFF\"}", true));
    startBridge(rig);
    QTRY_VERIFY_WITH_TIMEOUT(rig.errors().contains("mosquitto_pub -r -n -t"), 10000);
    QTest::qWait(500);
    QCOMPARE(levels(rig), QStringList());
    QCOMPARE(rig.errors().count("ignored a retained command"), 1);
    // The advice taken (mosquitto_pub -r -n): the bridge sees an empty
    // message and says nothing of it.
    QVERIFY(other.publish(base + "/set", QByteArray(), true));
    QVERIFY(other.publish("brightness/all/set", QByteArray(), true));
    QVERIFY(rig.client.publish(base + "/set", "{\"brightness\":33}"));
    QTRY_COMPARE_WITH_TIMEOUT(levels(rig), QStringList{"33"}, 5000);
    QVERIFY2(!rig.errors().contains("ignored a command"), qPrintable(rig.errors()));
}

void tst_Bridge::foreignConfigs()
{
    // Retained on this node's discovery topics by someone else: only a
    // config the bridge could have made marks a display of an earlier run.
    struct Retained {
        const char *object;
        QByteArray payload;
    };
    const QByteArray huge(16000, 'x');
    // Only the first is the bridge's own, of a display gone since.
    const QList<Retained> retained = {
        {"pci-old", "{\"unique_id\":\"test_pci-old\",\"command_topic\":\"brightness/test/pci-old/set\"}"},
        {"pci-other", "{\"unique_id\":\"other_pci-other\",\"command_topic\":\"brightness/test/pci-other/set\"}"},
        {"pci-topic", "{\"unique_id\":\"test_pci-topic\",\"command_topic\":\"elsewhere/set\"}"},
        {"pci-text", "not JSON"},
        {"pci-array", "[\"test_pci-array\"]"},
        {"pci.dot", "{\"unique_id\":\"test_pci.dot\",\"command_topic\":\"brightness/test/pci.dot/set\"}"},
        {huge.constData(), "{\"unique_id\":\"test_" + huge + "\",\"command_topic\":\"brightness/test/" + huge + "/set\"}"},
    };
    Rig rig;
    QVERIFY(setUp(rig));
    Client other;
    QVERIFY(other.connect(rig.broker.port));
    for (const Retained &r : retained)
        QVERIFY(other.publish(QString("homeassistant/light/test/%1/config").arg(r.object), r.payload, true));
    for (int i = 0; i < 300; ++i)  // a flood of junk
        QVERIFY(other.publish(QString("homeassistant/light/test/junk%1-%2/config").arg(i).arg(QString(huge.left(1000))),
                              "junk", true));
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.messages("^homeassistant/light/test/").size(), retained.size() + 300, 10000);
    startBridge(rig, {"--node-id", "test", "--no-idle"});
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^brightness/test/pci-old/availability$").payload, QByteArray("offline"), 10000);
    QTest::qWait(500);
    QStringList marked;
    for (const Message &m : rig.client.messages("^brightness/test/[^/]+/availability$"))
        marked << m.topic.section('/', 2, 2);
    // Only the display here and the one of the earlier run.
    QCOMPARE(marked, (QStringList{"pci-0000_00_14_0-usb-0_1_1_0", "pci-old"}));
    const QString err = rig.errors();
    QCOMPARE(err.count("did not make"), 1);
    QVERIFY2(err.size() < 2000, qPrintable(QString::number(err.size())));
}

void tst_Bridge::oversized()
{
    // MQTT 5's Maximum Packet Size: the broker keeps a message over 64 KiB
    // from the bridge, which would otherwise buffer whatever size it claims.
    Rig rig;
    QVERIFY(setUp(rig, "%1 0483:5750 60 4\n"));
    startBridge(rig);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + base + "/state$").isEmpty(), 10000);
    QVERIFY(rig.client.publish(base + "/set", "{\"brightness\":40,\"pad\":\"" + QByteArray(100000, 'x') + "\"}"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.broker.log().contains("Dropping too large outgoing PUBLISH"), 5000);
    QVERIFY(rig.client.publish(base + "/set", "{\"brightness\":33}"));
    QTRY_COMPARE_WITH_TIMEOUT(levels(rig), QStringList{"33"}, 5000);
    QCOMPARE(rig.bridge.state(), QProcess::Running);
}

void tst_Bridge::olderBroker()
{
    // A broker of MQTT 3.1.1 only refuses version 5 with a CONNACK of its
    // own version; the bridge then speaks 3.1.1 to it.
    QTcpServer older;
    QVERIFY(older.listen(QHostAddress::LocalHost));
    QList<int> versions;
    QObject::connect(&older, &QTcpServer::newConnection, [&] {
        QTcpSocket *c = older.nextPendingConnection();
        QObject::connect(c, &QTcpSocket::readyRead, [&versions, c] {
            const QByteArray connect = c->readAll();
            // Fixed header, remaining length (one byte here), "\0\4MQTT", level.
            if (connect.size() < 9 || connect[0] != 0x10 || connect.mid(2, 6) != QByteArray("\0\4MQTT", 6))
                return;
            versions << connect[8];
            c->write(QByteArray("\x20\x02\x00", 3) + char(connect[8] == 4 ? 0 : 1));
            // The first 3.1.1 connection is dropped: the next one begins
            // with version 5 again.
            if (connect[8] != 4 || versions.count(4) == 1)
                c->disconnectFromHost();
        });
    });
    Rig rig;
    QVERIFY(setUp(rig, QByteArray()));
    startBridge(rig, {"--node-id", "test", "-p", QString::number(older.serverPort())});
    auto said = [&] {
        QStringList v;
        for (int n : versions)
            v << QString::number(n);
        return rig.errors() + "versions: " + v.join(' ');
    };
    QTRY_VERIFY2_WITH_TIMEOUT(rig.errors().count("connected to localhost") == 2, qPrintable(said()), 10000);
    QCOMPARE(rig.errors().count("does not speak MQTT 5"), 1);
    QCOMPARE(versions, (QList<int>{5, 4, 5, 4}));
}

void tst_Bridge::notABroker_data()
{
    QTest::addColumn<QByteArray>("answer");  // to the CONNECT; "-": none
    QTest::addColumn<QString>("logged");
    QTest::newRow("silent") << QByteArray("-")
                            << "no MQTT answer within the keepalive (5 s): is it an MQTT broker's port?";
    QTest::newRow("a web server") << QByteArray("HTTP/1.1 400 Bad Request\r\n" + QByteArray(200, ' '))
                                  << "the answer was not MQTT: is it an MQTT broker's port?";
    QTest::newRow("a few bytes, then silent") << QByteArray("\x30\x7f", 2) << "no MQTT answer within the keepalive";
}

void tst_Bridge::notABroker()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, logged);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QList<QTcpSocket *> held;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket *c = server.nextPendingConnection();
        held << c;
        QObject::connect(c, &QTcpSocket::readyRead, [c, answer] {
            c->readAll();
            if (answer != "-")
                c->write(answer);
        });
    });
    Rig rig;
    QVERIFY(setUp(rig));
    startBridge(rig, {"--node-id", "test", "--no-idle", "-k", "5", "-p", QString::number(server.serverPort())});
    QTRY_VERIFY2_WITH_TIMEOUT(rig.errors().contains("cannot connect"), qPrintable(rig.errors()), 10000);
    QVERIFY2(rig.errors().contains(logged), qPrintable(rig.errors()));
}

void tst_Bridge::besideCtl()
{
    Rig rig;
    QVERIFY(setUp(rig, "%1 0483:5750 50 1\n"));
    startBridge(rig, {"--node-id", "test", "--no-idle"});
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + base + "/state$").isEmpty(), 10000);
    qint64 worst = 0;
    for (int level : {10, 35, 70, 5, 90}) {
        QProcess ctl;
        ctl.setProcessEnvironment(rig.sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD));
        testutil::startProgram(ctl, CTL_DRIVER_BINARY, {QString::fromStdString(rig.staged.path()),
                                                        QString::fromStdString(rig.staged.stateDir()), "set",
                                                        QString("%1%").arg(level)});
        QVERIFY(ctl.waitForFinished(10000));
        QCOMPARE(ctl.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(json(rig.client.last("^" + base + "/state$"))["brightness"].toInt(), level, 5000);
        // From the record's change (its modification time, taken before the
        // rename) to the state's arrival at the client.
        struct stat st;
        QCOMPARE(stat(rig.staged.recordPath().c_str(), &st), 0);
        worst = std::max(worst, rig.client.last("^" + base + "/state$").atNs
                                    - (st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec));
    }
    qInfo("slowest record change to state topic: %.1f ms", worst / 1e6);
    QVERIFY2(worst < 100 * 1000000LL, qPrintable(QString::number(worst / 1e6)));
    // Lights only.
    QCOMPARE(rig.client.messages("^" + idle + "|^homeassistant/.*/idle_").size(), 0);
}

void tst_Bridge::fadeBesideCtl_data()
{
    QTest::addColumn<QString>("record");  // the display's line after its place
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("state");   // where it ended: "ON 10" or "OFF"
    QTest::newRow("set 10% --fade 3000") << "0483:5750 60 4 on" << QStringList{"set", "10%", "--fade", "3000"} << "ON 10";
    QTest::newRow("off --fade 3000") << "0483:5750 60 4 on" << QStringList{"off", "--fade", "3000"} << "OFF";
    QTest::newRow("on --fade 3000") << "0483:5750 80 4 off" << QStringList{"on", "--fade", "3000"} << "ON 80";
    // brightness-idle's dim with --fade 3s, its steps as it records them:
    // the remembered level kept, what is shown beside it.
    QTest::newRow("brightness-idle's dim over 3 s") << "0483:5750 60 4 on" << QStringList{"idle"} << "ON 20";
}

void tst_Bridge::fadeBesideCtl()
{
    // Another program's fade writes the record at every step; Home
    // Assistant gets its first change at once and where it ended, not a
    // state per step.
    QFETCH(QString, record);
    QFETCH(QStringList, args);
    QFETCH(QString, state);
    Rig rig;
    QVERIFY(setUp(rig, "%1 " + record.toUtf8() + "\n"));
    startBridge(rig, {"--node-id", "test", "--no-idle"});
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + base + "/state$").isEmpty(), 10000);
    const int before = rig.client.messages("^" + base + "/state$").size();
    QProcess ctl;
    QElapsedTimer fade;
    fade.start();
    if (args == QStringList{"idle"}) {
        for (int step = 1; step <= 60; ++step) {
            const std::string line = place.toStdString() + " 0483:5750 60 5 dim:" + std::to_string(60 - step * 40 / 60);
            QVERIFY(rig.staged.replaceRecord(line + "\n"));
            QTest::qWait(50);
            // The first change within a fraction of the fade.
            if (step == 20)
                QVERIFY(rig.client.messages("^" + base + "/state$").size() > before);
        }
    } else {
        ctl.setProcessEnvironment(rig.sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD));
        testutil::startProgram(ctl, CTL_DRIVER_BINARY, QStringList{QString::fromStdString(rig.staged.path()),
                                                                   QString::fromStdString(rig.staged.stateDir())}
                                                           + args);
        QTRY_VERIFY_WITH_TIMEOUT(rig.client.messages("^" + base + "/state$").size() > before, 1000);
        QVERIFY(fade.elapsed() < 1000);
        QVERIFY(ctl.waitForFinished(10000));
        QCOMPARE(ctl.exitCode(), 0);
        QVERIFY2(rig.sim.levels().size() > 10, "a fade of steps");
    }
    const auto last = [&] {
        const QJsonObject o = json(rig.client.last("^" + base + "/state$"));
        return o["state"].toString() + (o["state"].toString() == "ON" ? ' ' + QString::number(o["brightness"].toInt()) : QString());
    };
    QTRY_COMPARE_WITH_TIMEOUT(last(), state, 3000);
    QTest::qWait(1500);  // nothing more comes
    const QList<Message> states = rig.client.messages("^" + base + "/state$").mid(before);
    QStringList seen;
    for (const Message &m : states)
        seen << QString::fromUtf8(m.payload);
    qInfo("%d states: %s", int(states.size()), qPrintable(seen.join(' ')));
    QVERIFY2(states.size() <= 3, qPrintable(seen.join('\n')));
    QCOMPARE(last(), state);
}

void tst_Bridge::brokerRestart_data()
{
    QTest::addColumn<int>("downMs");  // how long the broker is away
    QTest::newRow("back at once") << 0;
    // The retries at 0.5 and 1.5 s are refused; the next one is within
    // 2 s more, not at the keepalive (61 s).
    QTest::newRow("down past the first retries") << 2000;
}

void tst_Bridge::brokerRestart()
{
    QFETCH(int, downMs);
    Rig rig;
    QVERIFY(setUp(rig, "%1 0483:5750 25 1\n"));
    startBridge(rig);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + base + "/state$").isEmpty(), 10000);
    rig.broker.kill();
    QTest::qWait(downMs);
    QVERIFY(rig.broker.start());
    QElapsedTimer back;
    back.start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.errors().count("connected to localhost"), 2, 5000);
    qInfo("connected again %lld ms after the broker was", back.elapsed());
    // The broker kept nothing: all of it comes again from the bridge, and
    // is kept now.
    Client late;
    QVERIFY(late.connect(rig.broker.port, "#"));
    QTRY_VERIFY_WITH_TIMEOUT(!late.messages("^" + base + "/state$").isEmpty(), 15000);
    // Whoever subscribed while the bridge was still announcing got those
    // live; one that comes after it must find them kept.
    Client later;
    QVERIFY(later.connect(rig.broker.port, "homeassistant/#"));
    QTRY_VERIFY_WITH_TIMEOUT(!later.messages("^homeassistant/light/test/.*/config$").isEmpty(), 5000);
    QVERIFY(later.last("^homeassistant/light/test/.*/config$").retained);
    QCOMPARE(late.last("^brightness/test/availability$").payload, QByteArray("online"));
    QCOMPARE(json(late.last("^" + base + "/state$"))["brightness"].toInt(), 25);
    QVERIFY2(rig.errors().contains("lost the connection"), qPrintable(rig.errors()));
    // It works on the new connection too.
    QVERIFY(late.publish(base + "/set", "{\"brightness\":45}"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.levels().value(rig.sim.levels().size() - 1), 45, 5000);
    // A bridge that dies shows as unavailable through its will.
    ::kill(static_cast<pid_t>(rig.bridge.processId()), SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(late.last("^brightness/test/availability$").payload, QByteArray("offline"), 10000);
}

void tst_Bridge::clonedCard()
{
    // Two machines with one id take each other's connection over: said in
    // one line, with the fix.
    Rig rig;
    QVERIFY(setUp(rig));
    startBridge(rig);
    QProcess twin;
    twin.setProcessEnvironment(rig.sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD));
    testutil::startProgram(twin, MQTT_DRIVER_BINARY,
                           {QString::fromStdString(rig.staged.path()), QString::fromStdString(rig.staged.stateDir()),
                            "-p", QString::number(rig.broker.port), "--node-id", "test"});
    QByteArray twinErr;
    auto told = [&] {
        twinErr += twin.readAllStandardError();
        return rig.errors().count("systemd-machine-id-setup") + QString::fromUtf8(twinErr).count("systemd-machine-id-setup");
    };
    QTRY_VERIFY_WITH_TIMEOUT(told() >= 1, 30000);
    QTest::qWait(3000);
    QVERIFY2(told() <= 2, qPrintable(rig.errors()));
    QVERIFY(rig.errors().contains("--node-id") || QString::fromUtf8(twinErr).contains("--node-id"));
    twin.kill();
    twin.waitForFinished();
}

void tst_Bridge::relayedLog()
{
    // A display refused at every scan and every command: a flood of
    // commands says so once, with the program's name once.
    Rig rig;
    QVERIFY(setUp(rig));
    rig.sim.setNodes({"1 openfail EACCES"});
    startBridge(rig, {"--node-id", "test", "--no-idle"});
    QTRY_VERIFY_WITH_TIMEOUT(rig.errors().contains("connected to localhost"), 10000);
    for (int i = 0; i < 4; ++i) {
        QVERIFY(rig.client.publish("brightness/all/set", "{\"brightness\":40}"));
        QTest::qWait(1100);
    }
    const QString err = rig.errors();
    QVERIFY2(!err.contains("brightness-mqtt: brightness-mqtt:"), qPrintable(err));
    QVERIFY2(err.count("Permission denied") == 2, qPrintable(err));  // the scan's and the first command's
    QCOMPARE(rig.bridge.state(), QProcess::Running);
}

void tst_Bridge::badPayloads_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("logged");
    QTest::newRow("too large") << QByteArray("{\"brightness\":5,\"x\":\"" + QByteArray(5000, 'a') + "\"}")
                               << "larger than 4096 bytes";
    QTest::newRow("not JSON") << QByteArray("{\"brightness\":") << "not JSON";
    QTest::newRow("a number") << QByteArray("40") << "not a JSON object";
    QTest::newRow("an array") << QByteArray("[{\"brightness\":40}]") << "not a JSON object";
    QTest::newRow("unknown key") << QByteArray("{\"brightness\":40,\"effect\":\"rainbow\"}") << "a key other than";
    QTest::newRow("flash of another kind") << QByteArray("{\"state\":\"ON\",\"flash\":\"strobe\"}") << "out of range";
    QTest::newRow("brightness as text") << QByteArray("{\"brightness\":\"40\"}") << "wrong type";
    QTest::newRow("brightness with a fraction") << QByteArray("{\"brightness\":40.5}") << "wrong type";
    QTest::newRow("brightness 101") << QByteArray("{\"brightness\":101}") << "out of range";
    QTest::newRow("brightness -1") << QByteArray("{\"brightness\":-1}") << "out of range";
    QTest::newRow("state in lower case") << QByteArray("{\"state\":\"on\"}") << "out of range";
    QTest::newRow("transition over HA's limit") << QByteArray("{\"state\":\"ON\",\"transition\":6553.5}")
                                                << "out of range";
    QTest::newRow("transition alone") << QByteArray("{\"transition\":1}") << "neither state nor brightness";
    QTest::newRow("OFF with a brightness") << QByteArray("{\"state\":\"OFF\",\"brightness\":3}") << "state OFF with";
}

void tst_Bridge::badPayloads()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, logged);
    Rig rig;
    QVERIFY(setUp(rig));
    startBridge(rig);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + base + "/state$").isEmpty(), 10000);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(rig.client.publish(base + "/set", payload));
        QVERIFY(rig.client.publish("brightness/all/set", payload));
    }
    // Still there, and the next good command is the first thing written.
    QVERIFY(rig.client.publish(base + "/set", "{\"brightness\":33}"));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sim.levels().isEmpty(), 5000);
    QCOMPARE(levels(rig), QStringList{"33"});
    QCOMPARE(rig.bridge.state(), QProcess::Running);
    QTRY_VERIFY_WITH_TIMEOUT(rig.errors().contains(logged), 5000);
    QCOMPARE(rig.errors().count(logged), 1);
}

void tst_Bridge::password_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<bool>("groupReadable");
    QTest::newRow("right") << QByteArray("secret\n") << "connected to localhost" << false;
    QTest::newRow("written on Windows") << QByteArray("secret\r\n") << "connected to localhost" << false;
    QTest::newRow("group-readable: a warning") << QByteArray("secret") << "readable by its group: chmod g-r" << true;
    QTest::newRow("wrong") << QByteArray("guess\n") << "refused the connection: Not authorized"
                                                       " (check --username and --password-file)" << false;
}

void tst_Bridge::password()
{
    QFETCH(QByteArray, password);
    QFETCH(QString, logged);
    QFETCH(bool, groupReadable);
    Rig rig;
    QTemporaryDir dir;
    const QString users = dir.filePath("users"), secret = dir.filePath("password");
    QCOMPARE(QProcess::execute("mosquitto_passwd", {"-c", "-b", users, "panel", "secret"}), 0);
    QFile f(secret);
    QVERIFY(f.open(QFile::WriteOnly) && f.write(password) == password.size());
    f.close();
    QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | (groupReadable ? QFile::ReadGroup : QFile::Permissions())));
    QVERIFY(setUp(rig, QByteArray(), "allow_anonymous false\npassword_file " + QFile::encodeName(users) + "\n",
                  "panel", "secret"));
    startBridge(rig, {"--node-id", "test", "-u", "panel", "--password-file", secret});
    QTRY_VERIFY2_WITH_TIMEOUT(rig.errors().contains(logged), qPrintable(rig.errors()), 10000);
    // Long enough for a second connection (the first retry is 0.5 s
    // after a refusal) and, refused, for the retries at 0.5, 1.5 and 3.5 s.
    const bool refused = password.startsWith("guess");
    QTest::qWait(refused ? 4000 : 2000);
    // The bridge's MQTT connects, not its TCP probes of the broker; a
    // refused one is named by its address.
    const int attempts = rig.broker.log().count(QRegularExpression("Sending CONNACK to (test|127\\.0\\.0\\.1) "));
    qInfo("%d connection(s) in about %d s", attempts, refused ? 4 : 2);
    QCOMPARE(rig.errors().count(logged), 1);
    QCOMPARE(rig.bridge.state(), QProcess::Running);
    // Refused: tries again, but backs off (0.5, 1, 2 s...), never a storm.
    QVERIFY2(!refused ? attempts == 1 : attempts >= 3 && attempts <= 6, qPrintable(rig.broker.log()));
}

void tst_Bridge::forget_data()
{
    QTest::addColumn<QString>("broker");   // "open", "password" (the bridge's is wrong), "down"
    QTest::addColumn<QStringList>("places");  // --forget's; the first is retained at the broker
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<bool>("kept");        // the first place's config is still retained

    QTest::newRow("a known place") << "open" << QStringList{"pci-1"} << 0 << "forgotten" << false;
    QTest::newRow("a place never offered") << "open" << QStringList{"", "nowhere"} << 1
                                           << "the broker keeps nothing for nowhere under node test" << true;
    QTest::newRow("one known, one not: nothing forgotten") << "open" << QStringList{"pci-1", "pci-2"} << 1
                                                           << "keeps nothing for pci-2" << true;
    QTest::newRow("a refused password: given up") << "password" << QStringList{"pci-1"} << 1
                                                  << "refused the connection: Not authorized" << true;
    QTest::newRow("stopped while the broker is away") << "down" << QStringList{"pci-1"} << 1
                                                      << "not forgotten" << false;
}

void tst_Bridge::forget()
{
    QFETCH(QString, broker);
    QFETCH(QStringList, places);
    QFETCH(int, status);
    QFETCH(QString, logged);
    QFETCH(bool, kept);
    Rig rig;
    QTemporaryDir dir;
    const QString users = dir.filePath("users"), secret = dir.filePath("password");
    QByteArray conf;
    if (broker == "password") {
        QCOMPARE(QProcess::execute("mosquitto_passwd", {"-c", "-b", users, "panel", "secret"}), 0);
        conf = "allow_anonymous false\npassword_file " + QFile::encodeName(users) + "\n";
        QFile f(secret);
        QVERIFY(f.open(QFile::WriteOnly) && f.write("guess\n") == 6);
        f.close();
        QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    }
    QVERIFY(setUp(rig, QByteArray(), conf, "panel", "secret"));
    const QString config = "homeassistant/light/test/" + places.first() + "/config";
    if (!places.first().isEmpty()) {
        QVERIFY(rig.client.publish(config, "{\"unique_id\":\"test_" + places.first().toUtf8() + "\"}", true));
        QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + config + "$").isEmpty(), 5000);
    }
    if (broker == "down")
        rig.broker.kill();
    QStringList args{QString::fromStdString(rig.staged.path()), QString::fromStdString(rig.staged.stateDir()),
                     "-p", QString::number(rig.broker.port), "--node-id", "test"};
    if (broker == "password")
        args << "-u" << "panel" << "--password-file" << secret;
    for (const QString &place : places)
        if (!place.isEmpty())
            args << "--forget" << place;
    QProcess forget;
    testutil::startProgram(forget, MQTT_DRIVER_BINARY, args);
    if (broker == "down") {
        QTest::qWait(1500);
        forget.terminate();
    }
    QVERIFY(forget.waitForFinished(10000));
    const QString err = QString::fromUtf8(forget.readAllStandardError());
    QCOMPARE(forget.exitCode(), status);
    QVERIFY2(err.contains(logged), qPrintable(err));
    if (broker == "down")
        return;  // a broker without persistence keeps nothing over its restart
    Client after;  // what the broker keeps now
    QVERIFY(after.connect(rig.broker.port, "homeassistant/#", "panel", "secret"));
    QTest::qWait(300);
    QCOMPARE(!after.messages("^" + config + "$").isEmpty(), kept && !places.first().isEmpty());
}

void tst_Bridge::refusedArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("password on the command line") << QStringList{"-P", "secret"} << "read from a file only";
    QTest::newRow("--password") << QStringList{"--password=secret"} << "read from a file only";
    QTest::newRow("wildcard in the prefix") << QStringList{"--prefix", "a/#"} << "invalid topic 'a/#'";
    QTest::newRow("port 0") << QStringList{"-p", "0"} << "invalid port '0'";
    QTest::newRow("password file alone") << QStringList{"--password-file", "/dev/null"} << "needs --username";
    QTest::newRow("password file for everyone") << QStringList{"-u", "x", "--password-file", "/etc/hostname"}
                                                << "readable by everyone";
    QTest::newRow("unknown option") << QStringList{"-x"} << "unknown option '-x'";
    QTest::newRow("keepalive in ms") << QStringList{"-k", "1500ms"} << "invalid keepalive '1500ms'";
    QTest::newRow("operand") << QStringList{"-h", "broker", "--", "-p"} << "unexpected argument '-p'";
    QTest::newRow("host without value") << QStringList{"-p", "1883", "-h"} << "'-h' needs a value";
}

void tst_Bridge::refusedArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcess p;
    testutil::startProgram(p, MQTT_DRIVER_BINARY, QStringList{"/nonexistent", "/nonexistent"} + args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    // A wrong command line: one line saying why, then where help is; a bad
    // password file is no command-line problem.
    const QString tryHelp = "\nTry 'brightness-mqtt --help'.\n";
    if (message != "readable by everyone")
        QVERIFY2(err.startsWith("brightness-mqtt: ") && err.count('\n') == 2 && err.endsWith(tryHelp), qPrintable(err));
}

void tst_Bridge::options_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("result");  // "host port keepalive", "help", or the reason

    QTest::newRow("defaults") << QStringList{} << "localhost 1883 60";
    QTest::newRow("-h is the host") << QStringList{"-h", "broker.lan"} << "broker.lan 1883 60";
    QTest::newRow("attached values") << QStringList{"-hbroker", "-p1884", "-k90"} << "broker 1884 90";
    QTest::newRow("--host=") << QStringList{"--host=b", "--tls"} << "b 8883 60";
    QTest::newRow("keepalive bare is seconds") << QStringList{"--keepalive", "120"} << "localhost 1883 120";
    QTest::newRow("keepalive 5m") << QStringList{"-k", "5m"} << "localhost 1883 300";
    QTest::newRow("keepalive 1h") << QStringList{"--keepalive=1h"} << "localhost 1883 3600";
    QTest::newRow("keepalive 5000ms") << QStringList{"-k", "5000ms"} << "localhost 1883 5";
    QTest::newRow("keepalive 2h") << QStringList{"-k", "2h"} << "invalid keepalive '2h'";
    QTest::newRow("--help anywhere") << QStringList{"-h", "x", "-p", "0", "--help"} << "help";
    QTest::newRow("-- makes --help an operand") << QStringList{"--", "--help"} << "unexpected argument '--help'";
    QTest::newRow("--password is not --password-file") << QStringList{"-u", "u", "--password", "f"}
                                                       << "a password is read from a file only";
    QTest::newRow("-P attached") << QStringList{"-Psecret"} << "a password is read from a file only";
    QTest::newRow("--pass is ambiguous") << QStringList{"--pass=f"} << "unknown option '--pass'";
    QTest::newRow("an illuminance topic with a wildcard") << QStringList{"--illuminance-topic", "zigbee/+"}
                                                          << "invalid topic 'zigbee/+'";
    QTest::newRow("an illuminance topic without idle's entities")
        << QStringList{"--illuminance-topic", "lux", "--no-idle"} << "--illuminance-topic hands the room's light";
}

void tst_Bridge::options()
{
    QFETCH(QStringList, args);
    QFETCH(QString, result);
    std::vector<std::string> argv;
    for (const QString &a : args)
        argv.push_back(a.toStdString());
    mqtt::Options o;
    std::string why;
    QString got;
    if (!mqtt::parseOptions(argv, &o, &why))
        got = QString::fromStdString(why);
    else
        got = o.help ? "help" : QString("%1 %2 %3").arg(QString::fromStdString(o.host)).arg(o.port).arg(o.keepalive);
    QVERIFY2(got.startsWith(result), qPrintable(got));
}

void tst_Bridge::topics_data()
{
    QTest::addColumn<QByteArray>("topic");
    QTest::addColumn<bool>("valid");
    QTest::newRow("one level") << QByteArray("brightness") << true;
    QTest::newRow("levels") << QByteArray("home/panels") << true;
    QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("#") << QByteArray("a/#") << false;
    QTest::newRow("+ inside") << QByteArray("a/+/b") << false;
    QTest::newRow("/ first") << QByteArray("/a") << false;
    QTest::newRow("/ last") << QByteArray("a/") << false;
    QTest::newRow("NUL inside") << QByteArray("a\0b", 3) << false;
    QTest::newRow("not UTF-8") << QByteArray("a\xff") << false;
    QTest::newRow("overlong /") << QByteArray("a\xc0\xaf") << false;
    QTest::newRow("a surrogate") << QByteArray("a\xed\xa0\x80") << false;
    QTest::newRow("a control character") << QByteArray("a\x01") << false;
    QTest::newRow("1025 bytes") << QByteArray(1025, 'a') << false;
}

void tst_Bridge::topics()
{
    QFETCH(QByteArray, topic);
    QFETCH(bool, valid);
    QCOMPARE(mqtt::validTopic(topic.toStdString()), valid);
}

namespace {

// brightness-idle's entities as Home Assistant is told them.
struct IdleEntity {
    const char *key, *component, *name;
    int min, max;  // numbers only
    const char *unit;
    const char *shown = "";  // "class C" or "icon I": a sensor's look
};
const IdleEntity idleEntities[] = {
    {"idle", "binary_sensor", "Idle", 0, 0, nullptr, "icon mdi:sleep"},
    {"wake", "button", "Wake", 0, 0, nullptr},
    {"stay_awake", "switch", "Stay awake", 0, 0, nullptr},
    {"inhibited", "binary_sensor", "Inhibited", 0, 0, nullptr, "icon mdi:sleep-off"},
    {"presence", "binary_sensor", "Presence", 0, 0, nullptr, "class occupancy"},
    {"night", "binary_sensor", "Night", 0, 0, nullptr, "icon mdi:weather-night"},
    {"after", "number", "Idle after", 1, 86400, "s"},
    {"off_after", "number", "Off after dim", 0, 86400, "s"},
    {"night_after", "number", "Night idle after", 0, 86400, "s"},
    {"night_off_after", "number", "Night off after", 0, 86400, "s"},
    {"night_level", "number", "Night level", 0, 100, "%"},
    {"illuminance", "sensor", "Illuminance", 0, 0, "lx", "class illuminance"},
    {"auto_brightness", "switch", "Auto brightness", 0, 0, nullptr, "icon mdi:brightness-auto"},
};

// The keys Home Assistant's MQTT discovery schemas take, by component
// (homeassistant/components/mqtt: schemas.py and each platform's file).
QStringList acceptedKeys(const QString &component)
{
    const QStringList common = {"name", "unique_id", "availability", "availability_mode", "device", "origin",
                                "entity_category", "enabled_by_default", "icon", "json_attributes_topic", "object_id",
                                "qos", "encoding"};
    const QMap<QString, QStringList> own = {
        {"binary_sensor", {"state_topic", "value_template", "payload_on", "payload_off", "device_class", "expire_after",
                           "force_update", "off_delay"}},
        {"button", {"command_topic", "command_template", "payload_press", "device_class", "retain"}},
        {"switch", {"command_topic", "state_topic", "payload_on", "payload_off", "state_on", "state_off",
                    "value_template", "device_class", "optimistic", "retain"}},
        {"number", {"command_topic", "state_topic", "command_template", "value_template", "min", "max", "step", "mode",
                    "unit_of_measurement", "device_class", "payload_reset", "optimistic", "retain"}},
        {"sensor", {"state_topic", "value_template", "unit_of_measurement", "device_class", "state_class",
                    "expire_after", "force_update", "last_reset_value_template", "suggested_display_precision"}},
    };
    return common + own.value(component);
}

} // namespace

void tst_Bridge::idleDiscovery_data()
{
    QTest::addColumn<QStringList>("values");   // brightness-idle's, other than the stand-in's defaults
    QTest::addColumn<QString>("offered");      // the entities Home Assistant is given
    const QString always = "idle wake stay_awake inhibited presence after";
    QTest::newRow("dim and night profile: all of them")
        << QStringList{"DimLevel=30", "NightProfile=1"} << always + " off_after night night_after night_off_after night_level";
    QTest::newRow("no dim, no night profile") << QStringList{} << always;
    QTest::newRow("night profile without dim: no off times")
        << QStringList{"NightProfile=1"} << always + " night night_after night_level";
    QTest::newRow("dim without night profile") << QStringList{"DimLevel=20"} << always + " off_after";
    QTest::newRow("--ambient: the room's light and auto brightness")
        << QStringList{"AmbientProfile=1", "AutoBrightness=1"} << always + " illuminance auto_brightness";
}

void tst_Bridge::idleDiscovery()
{
    QFETCH(QStringList, values);
    QFETCH(QString, offered);
    Rig rig;
    QVERIFY(setUp(rig));
    if (!rig.bus.start())
        QSKIP("dbus-daemon is not installed (scripts/deps.sh installs it)");
    QVERIFY(startIdle(rig, values));
    startBridge(rig);
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("online"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages("^" + idle + "after/state$").isEmpty(), 5000);
    Client late;  // what the broker retained
    QVERIFY(late.connect(rig.broker.port, "#"));
    QTRY_VERIFY_WITH_TIMEOUT(!late.messages("^" + idle + "after/state$").isEmpty(), 5000);
    const QJsonObject light = json(late.last("^homeassistant/light/test/.*/config$"));
    for (const IdleEntity &e : idleEntities) {
        const QString key = e.key;
        const Message m = late.last(QString("^homeassistant/%1/test/idle_%2/config$").arg(e.component, key));
        QCOMPARE(!m.payload.isEmpty(), offered.split(' ').contains(key));
        if (m.payload.isEmpty())
            continue;
        QVERIFY(m.retained);
        const QJsonObject c = json(m);
        for (const QString &k : c.keys())
            QVERIFY2(acceptedKeys(e.component).contains(k), qPrintable(key + ": " + k));
        QCOMPARE(c["name"].toString(), QString(e.name));
        QCOMPARE(c["unique_id"].toString(), "test_idle_" + key);
        // Beside the light, on its device.
        QCOMPARE(c["device"], light["device"]);
        QCOMPARE(c["availability"].toArray(), QJsonArray({QJsonObject{{"topic", "brightness/test/availability"}},
                                                          QJsonObject{{"topic", idle + "availability"}}}));
        QCOMPARE(c["availability_mode"].toString(), QString("all"));
        QCOMPARE(c["state_topic"].toString(), QString(e.component) == "button" ? QString() : idle + key + "/state");
        const bool readOnly = QString(e.component).endsWith("sensor");
        QCOMPARE(c["command_topic"].toString(), readOnly ? QString() : idle + key + "/set");
        const QString shown = c.contains("device_class") ? "class " + c["device_class"].toString()
                              : c.contains("icon")       ? "icon " + c["icon"].toString()
                                                         : QString();
        QCOMPARE(shown, QString(e.shown));
        if (QString(e.component) == "number") {
            QCOMPARE(c["min"].toInt(), e.min);
            QCOMPARE(c["max"].toInt(), e.max);
            QCOMPARE(c["unit_of_measurement"].toString(), QString(e.unit));
            QCOMPARE(c["mode"].toString(), QString("box"));
        }
        if (QString(e.component) != "button")
            QVERIFY(late.last("^" + idle + key + "/state$").retained);
        if (QString(e.component) == "sensor") {
            // Home Assistant's unknown until brightness-idle has a reading.
            QCOMPARE(c["unit_of_measurement"].toString(), QString(e.unit));
            QCOMPARE(c["state_class"].toString(), QString("measurement"));
            QCOMPARE(late.last("^" + idle + key + "/state$").payload, QByteArray("None"));
        }
        if (key == "auto_brightness") {
            // The learned curve, as an attribute.
            QCOMPARE(c["json_attributes_topic"].toString(), idle + key + "/attributes");
            const Message a = late.last("^" + idle + key + "/attributes$");
            QVERIFY(a.retained);
            QCOMPARE(json(a)["curve"].toString(), QString("5:10%,50:35%,500:70%,5000:100%"));
        }
    }
}

void tst_Bridge::idleCommands_data()
{
    QTest::addColumn<QStringList>("values");  // brightness-idle's, other than the defaults
    QTest::addColumn<QString>("send");        // "ENTITY PAYLOAD", "retained ENTITY PAYLOAD"
    QTest::addColumn<QString>("calls");       // what brightness-idle was asked, a line each
    QTest::addColumn<QString>("state");       // "ENTITY PAYLOAD": the state published after
    QTest::addColumn<int>("published");       // states published on that topic after the command
    QTest::addColumn<QString>("logged");

    // As Home Assistant sends them: a button's PRESS, a switch's ON and
    // OFF, a number as an integer or, in some versions, a float.
    QTest::newRow("wake: PRESS") << QStringList{"Idle=1"} << "wake PRESS" << "Wake" << "idle OFF" << 1 << "";
    QTest::newRow("stay awake: ON") << QStringList{} << "stay_awake ON" << "Set StayAwake 1" << "stay_awake ON" << 1 << "";
    QTest::newRow("stay awake: OFF") << QStringList{"StayAwake=1"} << "stay_awake OFF" << "Set StayAwake 0"
                                     << "stay_awake OFF" << 1 << "";
    QTest::newRow("idle after 120") << QStringList{} << "after 120" << "Set After 120" << "after 120" << 1 << "";
    QTest::newRow("idle after 120.0") << QStringList{} << "after 120.0" << "Set After 120" << "after 120" << 1 << "";
    QTest::newRow("off after 0: never") << QStringList{"DimLevel=30", "OffAfter=600"} << "off_after 0"
                                        << "Set OffAfter 0" << "off_after 0" << 1 << "";
    QTest::newRow("night level 0: the remembered one") << QStringList{"NightProfile=1", "NightLevel=40"}
                                                       << "night_level 0" << "Set NightLevel 0" << "night_level 0" << 1 << "";
    // Refused by brightness-idle, or not a value at all: what is in force
    // is published again, so that Home Assistant shows it.
    QTest::newRow("out of range: refused") << QStringList{} << "after 99999" << "refused After 99999" << "after 300"
                                           << 1 << "brightness-idle refused the value for After: After must be";
    QTest::newRow("beyond 32 bits") << QStringList{} << "after 4294967296" << "" << "after 300" << 1
                                    << "not a whole number";
    QTest::newRow("a fraction") << QStringList{} << "after 12.5" << "" << "after 300" << 1 << "not a whole number";
    QTest::newRow("negative") << QStringList{} << "after -5" << "" << "after 300" << 1 << "not a whole number";
    QTest::newRow("a switch in lower case") << QStringList{} << "stay_awake on" << "" << "stay_awake OFF" << 1
                                            << "not ON or OFF";
    QTest::newRow("a button with another word") << QStringList{"Idle=1"} << "wake ON" << "" << "idle ON" << 0
                                                << "not PRESS";
    QTest::newRow("auto brightness off") << QStringList{"AmbientProfile=1", "AutoBrightness=1"} << "auto_brightness OFF"
                                         << "Set AutoBrightness 0" << "auto_brightness OFF" << 1 << "";
    QTest::newRow("retained: ignored, as for the lights") << QStringList{} << "retained stay_awake ON" << ""
                                                          << "stay_awake OFF" << 0 << "ignored a retained command";
}

void tst_Bridge::idleCommands()
{
    QFETCH(QStringList, values);
    QFETCH(QString, send);
    QFETCH(QString, calls);
    QFETCH(QString, state);
    QFETCH(int, published);
    QFETCH(QString, logged);
    Rig rig;
    QVERIFY(setUp(rig));
    if (!rig.bus.start())
        QSKIP("dbus-daemon is not installed (scripts/deps.sh installs it)");
    QVERIFY(startIdle(rig, values));
    const bool retained = send.startsWith("retained ");
    const QString entity = send.section(' ', retained ? 1 : 0, retained ? 1 : 0);
    const QByteArray payload = send.section(' ', retained ? 2 : 1).toUtf8();
    Client other;
    QVERIFY(other.connect(rig.broker.port));
    // Retained, it reaches the bridge only as it subscribes.
    if (retained)
        QVERIFY(other.publish(idle + entity + "/set", payload, true));
    startBridge(rig);
    const QString stateTopic = "^" + idle + state.section(' ', 0, 0) + "/state$";
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("online"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages(stateTopic).isEmpty(), 5000);
    const int before = rig.client.messages(stateTopic).size();
    if (!retained)
        QVERIFY(other.publish(idle + entity + "/set", payload));
    QTRY_COMPARE_WITH_TIMEOUT(rig.calls(), calls, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.messages(stateTopic).size() - before, published, 5000);
    QCOMPARE(rig.client.last(stateTopic).payload, state.section(' ', 1).toUtf8());
    if (!logged.isEmpty())
        QTRY_VERIFY2_WITH_TIMEOUT(rig.errors().contains(logged), qPrintable(rig.errors()), 5000);
    // Nothing more: one state per change, one call per command.
    QTest::qWait(300);
    QCOMPARE(rig.client.messages(stateTopic).size() - before, published);
    QCOMPARE(rig.calls(), calls);
    QCOMPARE(rig.bridge.state(), QProcess::Running);
}

void tst_Bridge::idleFlood()
{
    // A flood of Stay awake ON and OFF on a brightness-idle that answers
    // each call in 20 ms: one call at a time, the newest value per entity,
    // and no state published that did not change.
    Rig rig;
    QVERIFY(setUp(rig));
    if (!rig.bus.start())
        QSKIP("dbus-daemon is not installed (scripts/deps.sh installs it)");
    QVERIFY(startIdle(rig, {"Delay=20"}));
    startBridge(rig);
    const QString state = "^" + idle + "stay_awake/state$";
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("online"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.client.messages(state).isEmpty(), 5000);
    const int before = rig.client.messages(state).size();
    Client other;
    QVERIFY(other.connect(rig.broker.port));
    // Within what mosquitto queues for a slow subscriber (its
    // max_queued_messages, 1000): beyond that it drops the newest, which
    // no bridge can call.
    const int sent = 1000;
    QElapsedTimer flood;
    flood.start();
    for (int i = 0; i < sent; ++i)
        QVERIFY(other.publish(idle + "stay_awake/set", i % 2 ? "ON" : "OFF"));
    // Settled: the newest, ON, called, and no call for a second after it
    // (a slow bridge, under a sanitizer, may still be reading the flood a
    // second after a call). One call per command would take 20 s.
    // A deadline of its own: QTRY counts its polling steps, not the second
    // that each look takes, and would wait twenty times as long.
    QString calls;
    bool settled = false;
    for (QDeadlineTimer deadline(30000); !settled && !deadline.hasExpired();) {
        const QString was = rig.calls();
        QTest::qWait(1000);
        calls = rig.calls();
        settled = calls == was && calls.endsWith("Set StayAwake 1");
    }
    QVERIFY2(settled, qPrintable("calls:\n" + calls.right(300) + "\nthe bridge:\n" + rig.errors().right(2000)
                                 + (rig.broker.log().contains("being dropped") ? "\nthe broker dropped commands" : "")));
    const int made = int(calls.count('\n')) + 1;
    QStringList published;
    for (const Message &m : rig.client.messages(state).mid(before))
        published << QString::fromUtf8(m.payload);
    qInfo("%d commands: %d calls, %d states published, settled after %lld ms", sent, made, int(published.size()),
          flood.elapsed());
    QVERIFY2(made <= flood.elapsed() / 20 + 1, qPrintable(QString::number(made)));
    // The newest, ON, has the last word.
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last(state).payload, QByteArray("ON"), 5000);
    // Each published state differs from the one before it.
    QVERIFY(published.size() <= made);
    for (int i = 1; i < published.size(); ++i)
        QVERIFY(published[i] != published[i - 1]);
    QCOMPARE(rig.bridge.state(), QProcess::Running);
}

void tst_Bridge::idleOnTheBus()
{
    Rig rig;
    QVERIFY(setUp(rig));
    if (!rig.bus.start())
        QSKIP("dbus-daemon is not installed (scripts/deps.sh installs it)");
    // Not there yet: offered, unavailable, and the lights work.
    startBridge(rig);
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("offline"), 10000);
    QVERIFY(!rig.client.messages("^homeassistant/switch/test/idle_stay_awake/config$").isEmpty());
    QVERIFY(rig.client.publish(base + "/set", "{\"brightness\":33}"));
    QTRY_COMPARE_WITH_TIMEOUT(levels(rig), QStringList{"33"}, 5000);
    for (const QString after : {"120", "600"}) {
        // Its arrival and its departure, as the bus tells them: nothing polls.
        QVERIFY(startIdle(rig, {"After=" + after}));
        QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("online"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "after/state$").payload, after.toUtf8(), 5000);
        const int states = rig.client.messages("^" + idle).size();
        rig.standin.write("Idle 1\n");
        QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "idle/state$").payload, QByteArray("ON"), 5000);
        rig.standin.write("Presence 1\n");
        QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "presence/state$").payload, QByteArray("ON"), 5000);
        // Each change once, and nothing while nothing changes.
        QTest::qWait(1500);
        QCOMPARE(rig.client.messages("^" + idle).size() - states, 2);
        rig.standin.write("Idle 0\n");
        QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "idle/state$").payload, QByteArray("OFF"), 5000);
        QElapsedTimer gone;
        gone.start();
        rig.standin.kill();
        rig.standin.waitForFinished();
        QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("offline"), 5000);
        qInfo("offline %lld ms after brightness-idle left the bus", gone.elapsed());
    }
    QVERIFY2(rig.errors().count("brightness-idle is on the system bus") == 2, qPrintable(rig.errors()));
    // The bus itself gone: said, unavailable, and the lights go on working.
    QVERIFY(startIdle(rig));
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("online"), 5000);
    rig.bus.kill();
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("offline"), 5000);
    QTRY_VERIFY2_WITH_TIMEOUT(rig.errors().contains("lost the system bus"), qPrintable(rig.errors()), 5000);
    QVERIFY(rig.client.publish(base + "/set", "{\"brightness\":44}"));
    QTRY_COMPARE_WITH_TIMEOUT(levels(rig).value(levels(rig).size() - 1), QString("44"), 5000);
    QCOMPARE(rig.bridge.state(), QProcess::Running);
    // Back after its retries at 0.5 and 1.5 s were refused: found again
    // within the next, at most 2 s later, and brightness-idle with it.
    rig.standin.kill();
    rig.standin.waitForFinished();
    QTest::qWait(1700);
    QVERIFY(rig.bus.restart());
    QVERIFY(startIdle(rig, {"After=90"}));
    QElapsedTimer back;
    back.start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "availability$").payload, QByteArray("online"), 5000);
    qInfo("online %lld ms after the bus was back", back.elapsed());
    QTRY_COMPARE_WITH_TIMEOUT(rig.client.last("^" + idle + "after/state$").payload, QByteArray("90"), 5000);
    QVERIFY(rig.client.publish(idle + "stay_awake/set", "ON"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.calls(), QString("Set StayAwake 1"), 5000);
    QCOMPARE(rig.errors().count("lost the system bus"), 1);
    QCOMPARE(rig.errors().count("found the system bus again"), 1);
}

QTEST_GUILESS_MAIN(tst_Bridge)
#include "tst_bridge.moc"
