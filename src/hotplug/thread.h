#ifndef THREAD_H
#define THREAD_H

#include <QThread>
#include <atomic>
#include <cstdint>

// Raised by the monitor thread on every kernel uevent, taken by the GUI
// thread with one exchange. Nothing else passes through it, so relaxed
// ordering suffices.
extern std::atomic<uint8_t> MY_flag;
static_assert(std::atomic<uint8_t>::is_always_lock_free, "MY_flag must be lock-free");

// A bound NETLINK_KOBJECT_UEVENT socket on group 1 with the process id as
// its port id, or with a port the kernel picks when another socket of the
// process holds that one; -1 after a failure (reported with perror).
int init_hotplug_sock();

class MyThread : public QThread
{
    Q_OBJECT

public:
    explicit MyThread(QObject *parent = nullptr);
    // Neither stops the thread nor closes its socket.
    ~MyThread() override;

protected:
    void run() override;

private:
    int hotplug_sock = -1;
};

#endif
