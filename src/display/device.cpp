#include "display/device.h"

#include <QLabel>
#include <QSocketNotifier>

#include <cerrno>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "common/debuglog.h"
#include "window/mainwindow.h"
#include "hid/protocol.h"
#include "hid/sysfs.h"
#include "hotplug/thread.h"
#include "ui_mainwindow.h"

QSocketNotifier *m_sn = nullptr;
int fd = 0;
struct hidraw_devinfo hidrawId = {};

namespace {

void replaceHandle(QSocketNotifier *handle)
{
    QSocketNotifier *previous = m_sn;
    m_sn = handle;
    if (previous) {
        const int old = static_cast<int>(previous->socket());
        delete previous;
        close(old);
    }
}

enum class Named { Unknown, Display, OtherDevice };

// Who sysfs says the node belongs to; readable on nodes the process may not open.
Named namedInSysfs(int node)
{
    DisplayIdentity id{};
    if (!sysfsIdentity("/sys", node, &id))
        return Named::Unknown;
    return isAcceptedDisplay(static_cast<short>(id.vendor), static_cast<short>(id.product))
        ? Named::Display : Named::OtherDevice;
}

// udev gives the user a newly plugged display's node a little after the
// kernel's last event for it, and no event follows: a search that met the
// display's node refusing access runs again on the next tick, up to this
// many times after the last event.
constexpr int accessRetries = 3;
int retriesLeft = accessRetries;
bool retryOnNextTick = false;

} // namespace

int penHidraw(QString path)
{
    static quint16 n = 0;
    ++n;
    // Close-on-exec: the access command's shell and sudo must not inherit it.
    fd = open(path.toLocal8Bit().constData(), O_RDWR | O_CLOEXEC);
    if (fd <= 0) {
        debugLog().debug("   未找到可连接设备%d", n);
        debugLog().debug("[WARN]rcMouseHa   ndler::open-> Cant open!");
        return 0;
    }
    // A node that cannot say who it is is not taken for the display, even if
    // an earlier node's identity is still in hidrawId.
    bool identified = true;
    if (ioctl(fd, HIDIOCGRAWINFO, &hidrawId) < 0) {
        debugLog().debug("ioctl error!!!!!");
        identified = false;
    }
    if (!identified || !isAcceptedDisplay(hidrawId.vendor, hidrawId.product)) {
        debugLog().debug("dev id read error!!!!!!!!!\n");
        close(fd);
        return 0;
    }
    auto *handle = new QSocketNotifier(fd, QSocketNotifier::Read, nullptr);
    // Only a holder of the descriptor: nothing reads on activation, so an
    // enabled notifier would wake the event loop without end once the
    // display sends a report or goes away.
    handle->setEnabled(false);
    replaceHandle(handle);
    debugLog().debug("hidrawId\n");
    debugLog().debug("fd:%d", fd);
    debugLog().debug("vendor is %04hx\n", hidrawId.vendor);
    debugLog().debug("product is %04hx\n", hidrawId.product);
    debugLog().debug("product:%d", hidrawId.bustype);
    return 1;
}

void MainWindow::scanHidraw()
{
    bool refused = false;
    for (int N = 0; N < 10; ++N) {
        const QString path = QString("/dev/hidraw%1").arg(N);
        const QByteArray node = path.toLocal8Bit();
        // Checked before sysfs is read, so that a device taking this number
        // in between is named there. ENOENT: nothing to open up, and
        // whatever the kernel numbers next (a plug is what made us search)
        // might be a keyboard.
        const bool usable = access(node.constData(), R_OK | W_OK) == 0;
        const bool absent = !usable && errno == ENOENT;
        const Named named = namedInSysfs(N);
        // The command can only widen access, so it is left out where that is
        // all it could do: on another device's node (a keyboard would become
        // readable by everyone), on a node this process can use already, and
        // on a node that is not there.
        if (named != Named::OtherDevice && !usable && !absent) {
            const QString command = QString("sudo chmod 777 /dev/hidraw%1").arg(N);
            // Whether access was granted shows in the open that follows.
            const int status = system(command.toLocal8Bit().constData());
            Q_UNUSED(status);
        }
        if (penHidraw(path) == 1) {
            debugLog().debug("hidraw:%d", N);
            usbConnected = 1;
            ui->label_2->setText(QString::fromUtf8("设备已连接"));
            retryOnNextTick = false;
            return;
        }
        ui->label_2->setText(QString::fromUtf8("未找到可连接设备"));
        if (named == Named::Display && access(node.constData(), R_OK | W_OK) != 0
            && (errno == EACCES || errno == EPERM))
            refused = true;
    }
    retryOnNextTick = refused && retriesLeft > 0;
    if (retryOnNextTick)
        --retriesLeft;
}

void MainWindow::on_ConnectUSB()
{
    const bool event = MY_flag.exchange(0, std::memory_order_relaxed) == 1;
    if (event)
        retriesLeft = accessRetries;
    if (event || retryOnNextTick)
        scanHidraw();
}
