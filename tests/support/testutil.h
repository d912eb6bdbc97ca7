#ifndef TESTUTIL_H
#define TESTUTIL_H

// Helpers shared by the test executables: capturing the program's debug
// lines and standard output, and the stand-in sudo.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "standinsudo.h"

namespace testutil {

// The 38-byte brightness report a display must receive for a level in
// percent, spelled out here rather than taken from the product.
inline QByteArray brightnessReport(int level)
{
    QByteArray r(38, '\0');
    r[0] = 0x04;
    r[1] = char(0xAA);
    r[2] = 0x01;
    r[6] = char(level);
    return r;
}

struct Message {
    QtMsgType type;
    QByteArray category;
    bool hasSource;  // file, line or function set
    QString text;
    bool ownThread;  // logged on the thread that built the capture
};

// Collects every message of Qt's logger while alive, from any thread.
// Single instance. The hot-plug monitor of every window the process built
// logs each kernel uevent from its own thread, whenever one comes; the
// accessors leave those lines out unless asked for all threads.
class MessageCapture
{
public:
    enum Threads { OwnThread, AllThreads };

    MessageCapture() : owner(std::this_thread::get_id())
    {
        {
            std::lock_guard<std::mutex> lock(guard());
            current() = this;
        }
        previous = qInstallMessageHandler(&handler);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(previous);
        // A call that found this capture still holds the lock: wait for it
        // before the list goes away.
        std::lock_guard<std::mutex> lock(guard());
        current() = nullptr;
    }

    QList<Message> messages(Threads which = OwnThread) const
    {
        std::lock_guard<std::mutex> lock(guard());
        QList<Message> out;
        for (const Message &m : all)
            if (which == AllThreads || m.ownThread)
                out << m;
        return out;
    }
    QStringList debugLines(Threads which = OwnThread) const
    {
        QStringList out;
        for (const Message &m : messages(which))
            if (m.type == QtDebugMsg)
                out << m.text;
        return out;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(guard());
        all.clear();
    }

private:
    // A pthread mutex rather than QMutex: ThreadSanitizer sees its locking,
    // not that of Qt's own (uninstrumented) mutex. Never destroyed, as a
    // monitor thread may log while the process exits.
    static std::mutex &guard()
    {
        static std::mutex *mutex = new std::mutex;
        return *mutex;
    }
    static MessageCapture *&current()
    {
        static MessageCapture *capture = nullptr;
        return capture;
    }
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &text)
    {
        std::lock_guard<std::mutex> lock(guard());
        if (MessageCapture *self = current())
            self->all.append({type, QByteArray(ctx.category),
                              ctx.file != nullptr || ctx.line != 0 || ctx.function != nullptr, text,
                              std::this_thread::get_id() == self->owner});
    }
    const std::thread::id owner;
    QtMessageHandler previous = nullptr;
    QList<Message> all;
};

// The monitor threads of the windows a test builds live as long as the
// process and log every kernel uevent. QtTest's message handler is not for
// other threads: its loggers are written unlocked, and freed before the
// handler is given back at the end. Called from initTestCase: from then on
// only the test's own thread reaches QtTest, and other threads' lines go
// where QtTest's would, standard output, whole and one at a time. A MessageCapture still gets every
// thread's. Never undone; QtTest puts its predecessor back when it ends.
namespace detail {
inline std::thread::id testThread;
inline QtMessageHandler testHandler = nullptr;
inline void otherThreadsAside(QtMsgType type, const QMessageLogContext &ctx, const QString &text)
{
    if (std::this_thread::get_id() == testThread && testHandler) {
        testHandler(type, ctx, text);
        return;
    }
    static std::mutex *lock = new std::mutex;
    std::lock_guard<std::mutex> hold(*lock);
    std::printf("%s\n", text.toLocal8Bit().constData());
}
} // namespace detail

inline void keepOtherThreadsOffTheTestLog()
{
    detail::testThread = std::this_thread::get_id();
    detail::testHandler = qInstallMessageHandler(&detail::otherThreadsAside);
}

struct UeventSocket {
    int fd;
    quint32 port;    // 0 while unbound
    quint32 groups;  // multicast groups 1 to 32
};

// The process's NETLINK_KOBJECT_UEVENT sockets, as the kernel has them bound.
inline QList<UeventSocket> ueventSockets()
{
    QList<UeventSocket> out;
    for (const QString &name : QDir("/proc/self/fd").entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const int fd = name.toInt();
        int domain = 0, protocol = 0;
        socklen_t len = sizeof(int);
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || domain != AF_NETLINK)
            continue;
        len = sizeof(int);
        if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) != 0 || protocol != NETLINK_KOBJECT_UEVENT)
            continue;
        sockaddr_nl address{};
        socklen_t alen = sizeof(address);
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &alen) == 0)
            out.append({fd, address.nl_pid, address.nl_groups});
    }
    return out;
}

// Keeps the kernel's uevent broadcasts away from every monitor of the
// process while it lives, for a test that needs ticks without an event:
// other programs and devices on the machine make events at any time.
class QuietMonitors
{
public:
    QuietMonitors()
    {
        for (const UeventSocket &s : ueventSockets()) {
            int group = 1;
            if (!(s.groups & 1))
                continue;
            if (setsockopt(s.fd, SOL_NETLINK, NETLINK_DROP_MEMBERSHIP, &group, sizeof(group)) == 0)
                dropped << s.fd;
            else
                ok = false;
        }
        // Messages queued before still arrive; they take a moment at most.
        QThread::msleep(150);
    }
    ~QuietMonitors()
    {
        for (int fd : dropped) {
            int group = 1;
            setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group));
        }
    }
    bool ok = true;

private:
    QList<int> dropped;
};

// The window's one-second search tick. A test that spins the event loop
// stops it when a search between its steps would change what it checks: a
// kernel uevent from anywhere on the machine may raise the flag at any time.
inline QTimer *searchTick(QObject *window)
{
    for (QTimer *t : window->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        if (t->interval() == 1000)
            return t;
    return nullptr;
}

// Runs fn with the process's descriptor target (standard output by
// default) sent to a file; returns what was written there.
template <typename Fn>
QByteArray captureStdout(Fn fn, int target = STDOUT_FILENO)
{
    fflush(stdout);
    char name[] = "/tmp/brightness-stdout-XXXXXX";
    const int file = mkstemp(name);
    const int saved = dup(target);
    dup2(file, target);
    fn();
    fflush(stdout);
    dup2(saved, target);
    close(saved);
    close(file);
    QFile f(QString::fromLocal8Bit(name));
    f.open(QFile::ReadOnly);
    const QByteArray out = f.readAll();
    unlink(name);
    return out;
}

} // namespace testutil

#endif
