#ifndef MQTT_BROKER_H
#define MQTT_BROKER_H

// Debian's mosquitto on a free port with a configuration of the test's own,
// and a client on libmosquitto that keeps every message with the wall-clock
// time it arrived.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <mosquitto.h>
#include <mutex>
#include <time.h>

class Broker
{
public:
    // extra: configuration lines added to the listener's.
    bool start(const QByteArray &extra = QByteArray())
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (!port) {
                QTcpServer probe;
                if (!probe.listen(QHostAddress::LocalHost))
                    return false;
                port = probe.serverPort();
            }
            QFile conf(dir.filePath("broker.conf"));
            // As root, mosquitto would otherwise drop to its own user and
            // lose the test's files.
            if (!conf.open(QFile::WriteOnly | QFile::Truncate)
                || conf.write("listener " + QByteArray::number(port) + " 127.0.0.1\npersistence false\n"
                              "log_dest stderr\nlog_type all\nuser root\n" + (extra.isEmpty() ? "allow_anonymous true\n" : extra)) < 0)
                return false;
            conf.close();
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.setStandardOutputFile(dir.filePath("broker.log"), QIODevice::Append);
            process.start("mosquitto", {"-c", conf.fileName()});
            process.waitForStarted();
            for (int i = 0; i < 100 && process.state() == QProcess::Running; ++i) {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                if (s.waitForConnected(100))
                    return true;
                QThread::msleep(20);
            }
            process.kill();
            process.waitForFinished();
            if (keepPort)
                return false;
            port = 0;  // taken meanwhile: another one
        }
        return false;
    }
    // Killed without a word; start() again brings it back on the same port.
    void kill()
    {
        process.kill();
        process.waitForFinished();
        keepPort = true;
    }
    ~Broker() { kill(); }
    QString log() const
    {
        QFile f(dir.filePath("broker.log"));
        return f.open(QFile::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    quint16 port = 0;

private:
    QTemporaryDir dir;
    QProcess process;
    bool keepPort = false;
};

// A private system bus: Debian's dbus-daemon, on which anyone may own any
// name and call anything.
class Bus
{
public:
    // False when dbus-daemon is not installed or does not start.
    bool start()
    {
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
            return false;
        QFile conf(dir.filePath("bus.conf"));
        if (!conf.open(QFile::WriteOnly)
            || conf.write("<busconfig><listen>unix:path=" + QFile::encodeName(dir.filePath("bus")) + "</listen>"
                          "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                          "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n") < 0)
            return false;
        conf.close();
        return launch();
    }
    // Killed and started again at the same address.
    bool restart()
    {
        kill();
        const QString before = address;
        return launch() && address == before;
    }
    void kill()
    {
        process.kill();
        process.waitForFinished();
    }
    ~Bus() { kill(); }
    QString address;

private:
    bool launch()
    {
        process.start("dbus-daemon", {"--config-file=" + dir.filePath("bus.conf"), "--print-address", "--nofork"});
        if (!process.waitForReadyRead(5000))
            return false;
        // Without the daemon's guid, which a client holds it to: the same
        // address for the daemon started again.
        address = QString::fromUtf8(process.readLine().trimmed()).section(",guid=", 0, 0);
        return !address.isEmpty();
    }

    QTemporaryDir dir;
    QProcess process;
};

struct Message {
    QString topic;
    QByteArray payload;
    bool retained;
    qint64 atNs;  // CLOCK_REALTIME
};

class Client
{
public:
    Client() { mosquitto_lib_init(); }
    ~Client()
    {
        if (mosq) {
            mosquitto_disconnect(mosq);
            mosquitto_loop_stop(mosq, true);
            mosquitto_destroy(mosq);
        }
    }
    bool connect(quint16 port, const QString &subscription = QString(), const char *user = nullptr,
                 const char *password = nullptr)
    {
        mosq = mosquitto_new(nullptr, true, this);
        mosquitto_username_pw_set(mosq, user, password);
        mosquitto_message_callback_set(mosq, [](mosquitto *, void *self, const mosquitto_message *m) {
            timespec t;
            clock_gettime(CLOCK_REALTIME, &t);
            auto *c = static_cast<Client *>(self);
            std::lock_guard<std::mutex> lock(c->mutex);
            c->received.append({QString::fromUtf8(m->topic),
                                QByteArray(static_cast<const char *>(m->payload), m->payloadlen), m->retain,
                                t.tv_sec * 1000000000LL + t.tv_nsec});
        });
        if (mosquitto_connect(mosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS
            || (!subscription.isEmpty()
                && mosquitto_subscribe(mosq, nullptr, subscription.toUtf8().constData(), 1) != MOSQ_ERR_SUCCESS))
            return false;
        return mosquitto_loop_start(mosq) == MOSQ_ERR_SUCCESS;
    }
    bool publish(const QString &topic, const QByteArray &payload, bool retain = false)
    {
        return mosquitto_publish(mosq, nullptr, topic.toUtf8().constData(), payload.size(), payload.constData(), 1,
                                 retain) == MOSQ_ERR_SUCCESS;
    }
    QList<Message> messages(const QString &topicPattern = QString())
    {
        // A plain mutex: ThreadSanitizer cannot see into Qt's.
        std::lock_guard<std::mutex> lock(mutex);
        QList<Message> out;
        for (const Message &m : received)
            if (topicPattern.isEmpty() || QRegularExpression(topicPattern).match(m.topic).hasMatch())
                out << m;
        return out;
    }
    Message last(const QString &topicPattern)
    {
        const QList<Message> all = messages(topicPattern);
        return all.isEmpty() ? Message{} : all.last();
    }

private:
    mosquitto *mosq = nullptr;
    std::mutex mutex;
    QList<Message> received;
};

#endif
