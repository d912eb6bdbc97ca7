#include "hotplug/thread.h"

#include <QByteArray>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/debuglog.h"

std::atomic<uint8_t> MY_flag{0};

int init_hotplug_sock()
{
    sockaddr_nl snl;
    memset(&snl, 0, sizeof(snl));
    snl.nl_family = AF_NETLINK;
    snl.nl_pid = getpid();
    snl.nl_groups = 1;
    const int buffersize = 1024;

    // Close-on-exec: the device search's shell and sudo must not inherit it.
    int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (sock == -1) {
        perror("socket");
        return -1;
    }
    // A failure here leaves the system's default size, which also works.
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &buffersize, sizeof(buffersize));
    int bound = bind(sock, reinterpret_cast<sockaddr *>(&snl), sizeof(snl));
    // Another uevent socket of this process (libudev's, opened by Qt's input
    // discovery under eglfs and linuxfb) may hold the process id already;
    // broadcasts reach any port, so let the kernel pick a free one.
    if (bound < 0 && errno == EADDRINUSE) {
        snl.nl_pid = 0;
        bound = bind(sock, reinterpret_cast<sockaddr *>(&snl), sizeof(snl));
    }
    if (bound < 0) {
        perror("bind");
        close(sock);
        return -1;
    }
    return sock;
}

MyThread::MyThread(QObject *parent) : QThread(parent)
{
}

MyThread::~MyThread() = default;

void MyThread::run()
{
    char buf[4096];
    memset(buf, 0, sizeof(buf));
    hotplug_sock = init_hotplug_sock();
    // Without a socket there is nothing to wait on; the window still finds a
    // display that is present at start-up.
    if (hotplug_sock < 0)
        return;
    for (;;)
        handleUeventMessage(buf, recv(hotplug_sock, buf, sizeof(buf), 0));
}

void handleUeventMessage(const char *buf, ssize_t len)
{
    // Overruns and interruptions: the next receive carries on.
    if (len < 0)
        return;
    // The buffer is reused, so the text must end at this message's bytes.
    const QByteArray header(buf, static_cast<int>(strnlen(buf, static_cast<size_t>(len))));
    debugLog().debug("123456=%s", header.constData());
    MY_flag.store(1, std::memory_order_relaxed);
}
