// The tool's window without the tool: the same widgets, style sheet,
// pictures and status text, built from the same resource collection, but
// no device search, no monitor thread and no timers. Start-up, memory and
// size of the window's look alone.

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QPixmap>
#include <QSlider>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(430, 85);
    window.setWindowIcon(QIcon(":/new/prefix1/image/dorvantel.png"));
    auto *central = new QWidget(&window);
    auto *small = new QLabel(central);
    auto *large = new QLabel(central);
    auto *slider = new QSlider(Qt::Horizontal, central);
    slider->setGeometry(47, 8, 320, 35);
    slider->setMaximum(10);
    slider->setPageStep(1);
    slider->setValue(10);
    slider->setTickPosition(QSlider::TicksBelow);
    auto *status = new QLabel(central);
    status->setGeometry(10, 50, 151, 22);
    window.setCentralWidget(central);

    QFile qss(":/slider_qss.qss");
    qss.open(QFile::ReadOnly);
    window.setStyleSheet(QString::fromUtf8(qss.readAll().constData()));
    small->setPixmap(QPixmap(":/new/prefix1/image/sun.png"));
    large->setPixmap(QPixmap(":/new/prefix1/image/sun.png"));
    small->setGeometry(15, 16, 20, 20);
    large->setGeometry(380, 11, 30, 30);
    small->setScaledContents(true);
    large->setScaledContents(true);
    status->setText(QString::fromUtf8("未找到可连接设备"));

    window.setWindowTitle("lookalike");
    window.show();
    return app.exec();
}
