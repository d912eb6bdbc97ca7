#include <QMessageBox>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include "common/debuglog.h"
#include "display/device.h"
#include "window/mainwindow.h"

void MainWindow::readyRead()
{
    static unsigned char USB_buff[64];
    if (!m_sn)
        return;
    const int descriptor = static_cast<int>(m_sn->socket());
    fcntl(descriptor, F_SETFL, O_NONBLOCK);
    const ssize_t got = read(descriptor, USB_buff, sizeof(USB_buff));
    // Only bytes delivered by this read count: a short read must not be
    // completed by an earlier acknowledgement still in the buffer.
    if (got < 3)
        return;
    if (USB_buff[0] == 0x04 && USB_buff[1] == 0xAA && USB_buff[2] == 0x02)
        QMessageBox::information(this, "successful Message", "Write successful",
                                 QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::HidReceive_timeout()
{
    readyRead();
}

void MainWindow::HidSendDate(char *buf)
{
    if (usbConnected != 1)
        return;
    const int descriptor = static_cast<int>(m_sn->socket());
    fcntl(descriptor, F_SETFL, O_RDWR);
    if (write(descriptor, buf, 64) > 0)
        debugLog().debug("send successful");
}
