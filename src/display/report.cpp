#include "display/report.h"

#include <QSocketNotifier>

#include <unistd.h>

#include "common/debuglog.h"
#include "display/device.h"
#include "window/mainwindow.h"

unsigned char date[reportSize] = {reportNumber};
uint8_t CMD_Bright = 0;
uint8_t CMD_FLAG = 0;

namespace {

void sendStep(int step)
{
    debugLog().debug("action == %d", step);
    fillBrightnessReport(date, static_cast<unsigned char>(step * 10));
    if (!m_sn)
        return;
    if (write(static_cast<int>(m_sn->socket()), date, sizeof(date)) > 0)
        debugLog().debug("1 send succeed");
}

} // namespace

void CMD_Run()
{
    if (CMD_FLAG == 0)
        return;
    CMD_FLAG = 0;
    sendStep(CMD_Bright);
}

void MainWindow::on_horizontalSlider_actionTriggered(int action)
{
    Q_UNUSED(action);
}

void MainWindow::on_horizontalSlider_valueChanged(int value)
{
    sendStep(value);
}
