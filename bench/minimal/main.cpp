// The floor for start-up, memory, size and idle: a Qt Widgets window with
// one slider and nothing else. With --tick it also runs a 1 s repeating
// timer that does nothing, the wake-up the tool has by design.

#include <QApplication>
#include <QMainWindow>
#include <QSlider>
#include <QTimer>

#include <cstring>

int main(int argc, char *argv[])
{
    bool tick = false;
    for (int i = 1; i < argc; ++i)
        tick = tick || strcmp(argv[i], "--tick") == 0;
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(430, 85);
    auto *slider = new QSlider(Qt::Horizontal, &window);
    slider->setRange(0, 10);
    slider->setValue(10);
    window.setCentralWidget(slider);
    QTimer timer;
    if (tick)
        timer.start(1000);
    window.setWindowTitle("minimal");
    window.show();
    return app.exec();
}
