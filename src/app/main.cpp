#include <QApplication>

#include "app/cmdline.h"
#include "window/mainwindow.h"

int main(int argc, char *argv[])
{
    parseCommandLine(argc, argv);
    QApplication a(argc, argv);
    MainWindow w;
    w.setWindowTitle("brightness");
    w.show();
    return a.exec();
}
