#include <QtTest>

#include <QLabel>
#include <QSlider>
#include <QTimer>

#include "window/mainwindow.h"
#include "simhid.h"
#include "hotplug/thread.h"
#include "../support/testutil.h"

// The window as built: form, placement, style, icons, timers and wiring.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testutil::keepOtherThreadsOffTheTestLog(); }
    void init();
    void formWidgets_data();
    void formWidgets();
    void windowAndSlider();
    void styleSheetApplied();
    void sunInBothLabels();
    void statusLabelShowsSearchResult();
    void startValueSendsNothing();
    void wiring_data();
    void wiring();
    void timers();
    void grooveColours_data();
    void grooveColours();
    void destroyLeavesMonitorRunning();

private:
    static int monitorSockets()
    {
        int count = 0;
        for (const testutil::UeventSocket &s : testutil::ueventSockets())
            count += (s.groups & 1) && s.port != 0;
        return count;
    }
    testutil::StandInSudo sudo{SIMHID_SUDO_DIR};
};

void tst_MainWindow::init()
{
    simhid::reset();
}

void tst_MainWindow::formWidgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QRect>("geometry");

    // The two icon labels stand the other way round from the form.
    QTest::newRow("label_4") << "label_4" << QByteArray("QLabel") << QRect(380, 11, 30, 30);
    QTest::newRow("label") << "label" << QByteArray("QLabel") << QRect(15, 16, 20, 20);
    QTest::newRow("horizontalSlider") << "horizontalSlider" << QByteArray("QSlider") << QRect(47, 8, 320, 35);
    QTest::newRow("label_2") << "label_2" << QByteArray("QLabel") << QRect(10, 50, 151, 22);
}

void tst_MainWindow::formWidgets()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QRect, geometry);

    MainWindow w;
    QWidget *central = w.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QString("centralWidget"));
    QWidget *widget = w.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(QByteArray(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget(), central);
    QCOMPARE(widget->geometry(), geometry);
}

void tst_MainWindow::windowAndSlider()
{
    MainWindow w;
    QCOMPARE(w.objectName(), QString("MainWindow"));
    QCOMPARE(w.size(), QSize(430, 85));
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(w.windowTitle().isEmpty() || w.windowTitle() == QCoreApplication::applicationName());
    QVERIFY(!w.menuWidget());
    QCOMPARE(w.centralWidget()->children().size(), 4);

    auto *slider = w.findChild<QSlider *>("horizontalSlider");
    QVERIFY(slider);
    QCOMPARE(slider->minimum(), 0);
    QCOMPARE(slider->maximum(), 10);
    QCOMPARE(slider->singleStep(), 1);
    QCOMPARE(slider->pageStep(), 1);
    QCOMPARE(slider->value(), 10);
    QCOMPARE(slider->orientation(), Qt::Horizontal);
    QCOMPARE(slider->tickPosition(), QSlider::TicksBelow);
    QVERIFY(slider->hasTracking());
}

void tst_MainWindow::styleSheetApplied()
{
    QFile qss(":/slider_qss.qss");
    QVERIFY(qss.open(QFile::ReadOnly));
    MainWindow w;
    QCOMPARE(w.styleSheet(), QString::fromUtf8(qss.readAll()));
}

void tst_MainWindow::sunInBothLabels()
{
    // Through a pixmap, as the labels hold it, so both sides convert alike.
    const QImage sun = QPixmap(":/new/prefix1/image/sun.png").toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(sun.size(), QSize(256, 256));
    MainWindow w;
    for (const char *name : {"label", "label_4"}) {
        auto *label = w.findChild<QLabel *>(name);
        QVERIFY(label);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
        const QPixmap shown = label->pixmap(Qt::ReturnByValue);
#else
        const QPixmap shown = label->pixmap() ? *label->pixmap() : QPixmap();
#endif
        QCOMPARE(shown.toImage().convertToFormat(QImage::Format_ARGB32), sun);
        QVERIFY(label->hasScaledContents());
        QVERIFY(label->text().isEmpty());
    }
}

void tst_MainWindow::statusLabelShowsSearchResult()
{
    MainWindow w;
    QCOMPARE(w.findChild<QLabel *>("label_2")->text(), QString::fromUtf8("未找到可连接设备"));
}

void tst_MainWindow::startValueSendsNothing()
{
    simhid::present(0, 3, 0x0483, 0x5750);
    testutil::MessageCapture log;
    MainWindow w;
    QCOMPARE(simhid::writes().size(), size_t(0));
    for (const QString &line : log.debugLines())
        QVERIFY2(!line.startsWith("action == "), qPrintable(line));
}

void tst_MainWindow::wiring_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("connected");

    QTest::newRow("valueChanged by name") << "horizontalSlider" << QByteArray(SIGNAL(valueChanged(int)))
                                          << QByteArray(SLOT(on_horizontalSlider_valueChanged(int))) << true;
    QTest::newRow("actionTriggered by name") << "horizontalSlider" << QByteArray(SIGNAL(actionTriggered(int)))
                                             << QByteArray(SLOT(on_horizontalSlider_actionTriggered(int))) << true;
    QTest::newRow("slider pressed to nothing") << "horizontalSlider" << QByteArray(SIGNAL(sliderPressed()))
                                               << QByteArray(SLOT(on_Enter_Button_clicked())) << false;
    QTest::newRow("window context menu") << "MainWindow" << QByteArray(SIGNAL(customContextMenuRequested(QPoint)))
                                         << QByteArray(SLOT(on_frame_customContextMenuRequested(QPoint))) << false;
}

void tst_MainWindow::wiring()
{
    QFETCH(QString, sender);
    QFETCH(QByteArray, signal);
    QFETCH(QByteArray, slot);
    QFETCH(bool, connected);

    MainWindow w;
    QObject *from = sender == "MainWindow" ? static_cast<QObject *>(&w) : w.findChild<QObject *>(sender);
    QVERIFY(from);
    // disconnect() tells whether such a connection existed; a second one
    // would survive the first disconnect.
    QCOMPARE(QObject::disconnect(from, signal.constData(), &w, slot.constData()), connected);
    QVERIFY(!QObject::disconnect(from, signal.constData(), &w, slot.constData()));
}

void tst_MainWindow::timers()
{
    MainWindow w;
    const QList<QTimer *> timers = w.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(timers.size(), 2);
    QTimer *connectTimer = nullptr;
    QTimer *receiveTimer = nullptr;
    for (QTimer *t : timers)
        (t->isActive() ? connectTimer : receiveTimer) = t;
    QVERIFY(connectTimer && receiveTimer);
    QCOMPARE(connectTimer->interval(), 1000);
    QVERIFY(!connectTimer->isSingleShot());
    QVERIFY(QObject::disconnect(connectTimer, SIGNAL(timeout()), &w, SLOT(on_ConnectUSB())));
    QVERIFY(QObject::disconnect(receiveTimer, SIGNAL(timeout()), &w, SLOT(HidReceive_timeout())));
}

void tst_MainWindow::grooveColours_data()
{
    QTest::addColumn<int>("value");
    QTest::newRow("step 2") << 2;
    QTest::newRow("step 5") << 5;
    QTest::newRow("step 8") << 8;
}

static bool columnHas(const QImage &img, int x, int y0, int y1, QRgb colour)
{
    for (int y = y0; y <= y1; ++y)
        if ((img.pixel(x, y) & 0xffffff) == (colour & 0xffffff))
            return true;
    return false;
}

void tst_MainWindow::grooveColours()
{
    QFETCH(int, value);
    MainWindow w;
    auto *slider = w.findChild<QSlider *>("horizontalSlider");
    slider->setValue(value);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QImage shot = slider->grab().toImage();
    const int mid = shot.height() / 2;
    // Handle centre, from the handle's share of the groove.
    const int handleX = 14 + (shot.width() - 28) * value / 10;
    for (int x = 4; x < shot.width() - 4; x += 6) {
        if (qAbs(x - handleX) <= 18)
            continue;
        const QRgb want = x < handleX ? qRgb(0x00, 0x73, 0xef) : qRgb(0xe2, 0xe2, 0xe2);
        QVERIFY2(columnHas(shot, x, mid - 4, mid + 4, want),
                 qPrintable(QString("x=%1 lacks %2").arg(x).arg(want, 6, 16)));
    }
    // The commented-out rule must not paint the slider #ededed.
    QVERIFY(!columnHas(shot, 2, 0, shot.height() - 1, qRgb(0xed, 0xed, 0xed)));
}

void tst_MainWindow::destroyLeavesMonitorRunning()
{
    // Monitors of the windows built before: each still has its socket.
    const int before = monitorSockets();
    auto *w = new MainWindow;
    QTRY_COMPARE(monitorSockets(), before + 1);
    delete w;
    QTest::qWait(200);
    QCOMPARE(monitorSockets(), before + 1);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
