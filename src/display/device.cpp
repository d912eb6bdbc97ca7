#include "device.h"

#include <QLabel>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "debuglog.h"
#include "mainwindow.h"
#include "protocol.h"
#include "sysfs.h"
#include "thread.h"
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

// The access command can only widen access, so it is left out where that
// is all it could do: on a node that sysfs names as another device (a
// keyboard would become readable by everyone) and on a node this process
// can read and write already.
bool accessCommandWanted(int node, const QByteArray &path)
{
    DisplayIdentity named{};
    if (sysfsIdentity("/sys", node, &named)
        && !isAcceptedDisplay(static_cast<short>(named.vendor), static_cast<short>(named.product)))
        return false;
    return access(path.constData(), R_OK | W_OK) != 0;
}

} // namespace

int penHidraw(QString path)
{
    static quint16 n = 0;
    ++n;
    fd = open(path.toLocal8Bit().constData(), O_RDWR);
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
    for (int N = 0; N < 10; ++N) {
        const QString path = QString("/dev/hidraw%1").arg(N);
        if (accessCommandWanted(N, path.toLocal8Bit())) {
            const QString command = QString("sudo chmod 777 /dev/hidraw%1").arg(N);
            // Whether access was granted shows in the open that follows.
            const int status = system(command.toLocal8Bit().constData());
            Q_UNUSED(status);
        }
        if (penHidraw(path) == 1) {
            debugLog().debug("hidraw:%d", N);
            usbConnected = 1;
            ui->label_2->setText(QString::fromUtf8("设备已连接"));
            return;
        }
        ui->label_2->setText(QString::fromUtf8("未找到可连接设备"));
    }
}

void MainWindow::on_ConnectUSB()
{
    if (MY_flag.exchange(0, std::memory_order_relaxed) == 1)
        scanHidraw();
}
