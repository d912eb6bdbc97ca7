#include "window/mainwindow.h"

#include <QFile>
#include <QPixmap>
#include <QTimer>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include "display/report.h"
#include "hotplug/thread.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), usbConnected(0)
{
    ui = new Ui_MainWindow;
    ui->setupUi(this);

    QFile qss(":/slider_qss.qss");
    qss.open(QFile::ReadOnly);
    setStyleSheet(QString::fromUtf8(qss.readAll().constData()));

    ui->label->setPixmap(QPixmap("://new/prefix1/image/sun.png"));
    ui->label_4->setPixmap(QPixmap("://new/prefix1/image/sun.png"));
    // The form places the suns the other way round; the small one goes left.
    ui->label->setGeometry(15, 16, 20, 20);
    ui->label_4->setGeometry(380, 11, 30, 30);
    ui->label->setScaledContents(true);
    ui->label_4->setScaledContents(true);

    connectTimer = new QTimer(this);
    connect(connectTimer, SIGNAL(timeout()), this, SLOT(on_ConnectUSB()));
    connectTimer->start(1000);

    receiveTimer = new QTimer(this);
    connect(receiveTimer, SIGNAL(timeout()), this, SLOT(HidReceive_timeout()));

    monitorThread = new MyThread(nullptr);
#ifdef __SANITIZE_ADDRESS__
    // Never deleted, by design: not a leak, even once its thread has ended.
    __lsan_ignore_object(monitorThread);
#endif
    monitorThread->start(QThread::InheritPriority);

    scanHidraw();
    CMD_Run();
}

MainWindow::~MainWindow()
{
    delete connectTimer;
    delete receiveTimer;
    delete ui;
}

void MainWindow::on_Enter_Button_clicked()
{
}

void MainWindow::on_frame_customContextMenuRequested(const QPoint &pos)
{
    Q_UNUSED(pos);
}
