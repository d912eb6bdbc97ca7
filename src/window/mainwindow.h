#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

class QPoint;
class QTimer;
class MyThread;
class Ui_MainWindow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Writes the 64 bytes at buf unchanged, only once a display was found.
    void HidSendDate(char *buf);
    // CRC-16 over length bytes at data; crcOut[0] gets the low byte.
    void atCRC(unsigned int length, const char *data, char *crcOut);

private slots:
    void on_Enter_Button_clicked();
    void on_ConnectUSB();
    void HidReceive_timeout();
    void readyRead();
    void on_frame_customContextMenuRequested(const QPoint &pos);
    void on_horizontalSlider_actionTriggered(int action);
    void on_horizontalSlider_valueChanged(int value);

private:
    void scanHidraw();

    QTimer *receiveTimer = nullptr;
    QTimer *connectTimer = nullptr;
    int usbConnected;
    Ui_MainWindow *ui = nullptr;
    // Never stopped or deleted: it lives as long as the process.
    MyThread *monitorThread = nullptr;
};

#endif
