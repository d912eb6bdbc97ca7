// The MQTT connection alone, in this process on an sd-event loop of its
// own: a real broker (or a server that only looks like one), no displays,
// no bridge. "localhost" is ::1 first here (support/resolve), as on most
// machines, and the servers listen on 127.0.0.1 alone.

#include <QtNetwork>
#include <QtTest>

#include <sstream>

#include <mosquitto.h>
#include <systemd/sd-event.h>

#include "broker.h"
#include "control/log.h"
#include "mqtt/connection.h"

using mqtt::Connection;

class tst_Connection : public QObject
{
    Q_OBJECT

private slots:
    void reaching_data();
    void reaching();
    void messages();
    void brokerRestart();
};

namespace {

struct Rig {
    Rig() : log(err, "brightness-mqtt") { sd_event_new(&loop); }
    ~Rig()
    {
        connection.reset();
        sd_event_unref(loop);
    }
    bool open(quint16 port, const QString &user = QString(), const QString &password = QString())
    {
        Connection::Config c;
        c.options.port = port;
        c.options.keepalive = 5;
        c.options.username = user.toStdString();
        c.password = password.toStdString();
        c.clientId = "connection-test";
        c.name = "test";
        c.will = "test/availability";
        Connection::Handlers h;
        h.up = [this] {
            ++ups;
            connection->subscribe("test/in");
        };
        h.message = [this](const mosquitto_message &m) {
            received << QByteArray(static_cast<const char *>(m.payload), m.payloadlen);
        };
        h.acknowledged = [this](int mid) { acked << mid; };
        h.refused = [this](const std::string &why) {
            refusals << QString::fromStdString(why);
            return false;
        };
        connection = std::make_unique<Connection>(c, log, h);
        std::string why;
        return connection->open(loop, &why);
    }
    // The loop and Qt's, in turns, until done() or ms have passed.
    bool spin(const std::function<bool()> &done, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms) {
            sd_event_run(loop, 10000);
            QCoreApplication::processEvents();
        }
        return done();
    }
    QString said() const { return QString::fromStdString(err.str()); }

    std::ostringstream err;
    control::Log log;
    sd_event *loop = nullptr;
    std::unique_ptr<Connection> connection;
    int ups = 0;
    QList<QByteArray> received;
    QList<int> acked;
    QStringList refusals;
};

// A server that answers MQTT 5's CONNECT with "unsupported protocol
// version" and 3.1.1's with "accepted", as a 3.1.1 broker does.
class OlderBroker : public QTcpServer
{
public:
    OlderBroker()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, [this] {
            QTcpSocket *c = nextPendingConnection();
            QObject::connect(c, &QTcpSocket::readyRead, [this, c] {
                const QByteArray packet = c->readAll();
                if (packet.size() < 9 || packet[0] != 0x10)
                    return;
                versions << packet[8];
                c->write(QByteArray("\x20\x02\x00", 3) + char(packet[8] == 4 ? 0 : 1));
                if (packet[8] != 4)
                    c->disconnectFromHost();
            });
        });
    }
    QList<int> versions;
};

} // namespace

void tst_Connection::reaching_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("MQTT 5, past ::1") << "mosquitto" << true << "connected to localhost:%1 as test" << "";
    QTest::newRow("3.1.1 only, past ::1") << "older" << true << "does not speak MQTT 5; using MQTT 3.1.1" << "";
    QTest::newRow("nothing listens") << "none" << false << "cannot connect to localhost:%1: Connection refused; "
                                                          "trying again, less and less often" << "";
    QTest::newRow("a wrong password") << "password" << false << "refused the connection: Not authorized "
                                                              "(check --username and --password-file); trying again"
                                      << "the broker at localhost:%1 refused the connection";
}

void tst_Connection::reaching()
{
    QFETCH(QString, server);
    QFETCH(bool, up);
    QFETCH(QString, logged);
    QFETCH(QString, refusal);
    Broker broker;
    OlderBroker older;
    QTemporaryDir dir;
    quint16 port = 0;
    if (server == "mosquitto") {
        QVERIFY(broker.start());
        port = broker.port;
    } else if (server == "password") {
        const QString users = dir.filePath("users");
        QCOMPARE(QProcess::execute("mosquitto_passwd", {"-c", "-b", users, "panel", "secret"}), 0);
        QVERIFY(broker.start("allow_anonymous false\npassword_file " + QFile::encodeName(users) + "\n"));
        port = broker.port;
    } else if (server == "older") {
        port = older.serverPort();
    } else {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    Rig rig;
    QVERIFY(rig.open(port, server == "password" ? "panel" : "", server == "password" ? "wrong" : ""));
    const QString expected = logged.contains("%1") ? logged.arg(port) : logged;
    QVERIFY2(rig.spin([&] { return rig.said().contains(expected); }, 10000), qPrintable(rig.said()));
    rig.spin([&] { return rig.ups > 0; }, up ? 5000 : 300);
    QCOMPARE(rig.connection->isUp(), up);
    QCOMPARE(rig.ups, up ? 1 : 0);
    if (server == "older")
        QCOMPARE(older.versions, (QList<int>{5, 4}));
    QCOMPARE(rig.refusals.size(), refusal.isEmpty() ? 0 : 1);
    if (!refusal.isEmpty())
        QVERIFY2(rig.refusals[0].startsWith(refusal.arg(port)), qPrintable(rig.refusals[0]));
}

void tst_Connection::messages()
{
    Broker broker;
    QVERIFY(broker.start());
    Client client;
    QVERIFY(client.connect(broker.port, "test/#"));
    Rig rig;
    QVERIFY(rig.open(broker.port));
    QVERIFY(rig.spin([&] { return rig.ups == 1; }, 10000));
    // Subscribed from the up handler: what comes after is received.
    QVERIFY(rig.spin([&] {
        client.publish("test/in", "hello");
        return rig.spin([&] { return !rig.received.isEmpty(); }, 200);
    }, 5000));
    QCOMPARE(rig.received.first(), QByteArray("hello"));
    int mid = 0;
    QVERIFY(rig.connection->publish("test/out", "{\"state\":\"ON\"}", true, &mid));
    QVERIFY(rig.spin([&] { return rig.acked.contains(mid); }, 5000));
    QVERIFY(rig.spin([&] { return client.last("^test/out$").payload == "{\"state\":\"ON\"}"; }, 5000));
    // Closed on purpose: "offline" said at once, not through the will.
    rig.connection->close(true);
    QVERIFY(rig.spin([&] { return client.last("^test/availability$").payload == "offline"; }, 5000));
    QVERIFY(!rig.connection->isUp());
    QVERIFY(!rig.connection->publish("test/out", "late", false));
}

void tst_Connection::brokerRestart()
{
    Broker broker;
    QVERIFY(broker.start());
    Rig rig;
    QVERIFY(rig.open(broker.port));
    QVERIFY(rig.spin([&] { return rig.ups == 1; }, 10000));
    broker.kill();
    QVERIFY2(rig.spin([&] { return rig.said().contains("lost the connection to localhost"); }, 10000),
             qPrintable(rig.said()));
    QVERIFY(!rig.connection->isUp());
    QVERIFY(broker.start());
    // The first retry is half a second away, the next ones longer.
    QVERIFY2(rig.spin([&] { return rig.ups == 2; }, 10000), qPrintable(rig.said()));
    QVERIFY(rig.connection->isUp());
}

QTEST_GUILESS_MAIN(tst_Connection)
#include "tst_connection.moc"
