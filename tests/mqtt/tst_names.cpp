#include <QtTest>

#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../support/program.h"
#include "broker.h"

// The broker's name as the bridge resolves and reaches it, with the name
// service of the test's own making: the bridge runs in a mount namespace
// where /etc/hosts, /etc/gai.conf and /etc/resolv.conf are the test's.
class tst_Names : public QObject
{
    Q_OBJECT

private slots:
    void firstAddressDropsPackets();
    void silentNameServer();

private:
    // A TCP listener at address:port that never accepts, its queue full:
    // the kernel drops further SYNs, as a firewall does.
    struct BlackHole {
        QList<int> fds;
        bool open(const char *address, quint16 port)
        {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            inet_pton(AF_INET, address, &a.sin_addr);
            const int l = socket(AF_INET, SOCK_STREAM, 0);
            fds << l;
            if (l < 0 || bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 0) != 0)
                return false;
            for (int i = 0; i < 4; ++i) {
                const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                fds << c;
                ::connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
            }
            QTest::qWait(200);
            return true;
        }
        ~BlackHole()
        {
            for (int fd : fds)
                if (fd >= 0)
                    close(fd);
        }
    };

    // The bridge in a namespace of its own with these files over /etc's.
    bool startBridge(QProcess &bridge, const QMap<QString, QByteArray> &etc, const QStringList &args)
    {
        if (QStandardPaths::findExecutable("unshare").isEmpty()
            || QProcess::execute("unshare", {"--mount", "true"}) != 0)
            return false;
        QString script;
        for (auto it = etc.begin(); it != etc.end(); ++it) {
            QFile f(dir.filePath(it.key()));
            if (!f.open(QFile::WriteOnly) || f.write(it.value()) != it.value().size())
                return false;
            script += QString("mount --bind %1 /etc/%2 && ").arg(f.fileName(), it.key());
        }
        bridge.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        bridge.start("unshare", QStringList{"--mount", "sh", "-c", script + "exec \"$@\"", "sh"} + testutil::emulatorCommand()
                                    + QStringList{MQTT_DRIVER_BINARY, "/nonexistent", dir.path(), "--node-id", "test",
                                                  "--no-idle", "-v"} + args);
        return bridge.waitForStarted();
    }

    QTemporaryDir dir;
};

void tst_Names::firstAddressDropsPackets()
{
    Broker broker;
    QVERIFY(broker.start());
    BlackHole hole;
    if (!hole.open("127.0.0.2", broker.port))
        QSKIP("cannot listen on 127.0.0.2");
    QProcess bridge;
    // 127.0.0.2 first: its precedence above every other address.
    if (!startBridge(bridge, {{"hosts", "127.0.0.2 broker.test\n127.0.0.1 broker.test\n"},
                              {"gai.conf", "precedence ::ffff:127.0.0.2/128 100\nprecedence ::ffff:0:0/96 10\n"
                                           "precedence ::1/128 50\nprecedence ::/0 40\n"}},
                     {"-h", "broker.test", "-p", QString::number(broker.port), "-k", "5"}))
        QSKIP("no mount namespace here (unshare --mount); run as root");
    QElapsedTimer reached;
    reached.start();
    Client client;
    QVERIFY(client.connect(broker.port, "brightness/test/availability"));
    // The first address's 5 s, then the second at once.
    QTRY_COMPARE_WITH_TIMEOUT(client.last("^brightness/test/availability$").payload, QByteArray("online"), 12000);
    qInfo("online after %lld ms", reached.elapsed());
    QVERIFY(reached.elapsed() >= 4500);
    bridge.terminate();
    QVERIFY(bridge.waitForFinished(5000));
    const QString err = QString::fromUtf8(bridge.readAllStandardError());
    QVERIFY2(err.contains("connected to broker.test:"), qPrintable(err));
}

void tst_Names::silentNameServer()
{
    // A name server that takes the question and never answers.
    const int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    inet_pton(AF_INET, "127.0.0.3", &a.sin_addr);
    if (bind(silent, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(silent);
        QSKIP("cannot take port 53 on 127.0.0.3 (not root, or taken)");
    }
    QProcess bridge;
    const bool started = startBridge(bridge, {{"hosts", "127.0.0.1 localhost\n"},
                                             {"resolv.conf", "nameserver 127.0.0.3\noptions timeout:5 attempts:2\n"}},
                                     {"-h", "broker.example"});
    if (!started) {
        close(silent);
        QSKIP("no mount namespace here (unshare --mount); run as root");
    }
    QTest::qWait(1500);  // asking
    QElapsedTimer stop;
    stop.start();
    bridge.terminate();
    const bool finished = bridge.waitForFinished(15000);
    close(silent);
    QVERIFY(finished);
    qInfo("stopped %lld ms after SIGTERM", stop.elapsed());
    QCOMPARE(bridge.exitCode(), 0);
    QVERIFY2(stop.elapsed() < 1000, qPrintable(QString::number(stop.elapsed())));
}

QTEST_GUILESS_MAIN(tst_Names)
#include "tst_names.moc"
