#include <QtTest>

#include <QSlider>

#include "app/cmdline.h"
#include "display/report.h"
#include "display/device.h"
#include "window/mainwindow.h"
#include "display/report.h"
#include "simhid.h"
#include "hotplug/thread.h"
#include "../support/testutil.h"

// The brightness report and its senders, seen at the simulated display.
class tst_Report : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testutil::keepOtherThreadsOffTheTestLog(); }
    void init();
    void commandLineWithoutDisplay();  // a handle an earlier test left is dead after reset()
    void sliderSendsExactReport_data();
    void sliderSendsExactReport();
    void consecutiveReportsDifferOnlyInLevel();
    void dragSendsEveryPosition();
    void actionSlotDoesNothing_data();
    void actionSlotDoesNothing();
    void commandLineSendsOnceAtStart();
    void noCommandLineSendsNothing();
    void unpluggedWritesFailQuietly();

private:
    static QByteArray bytes(const simhid::WriteRecord &w)
    {
        return QByteArray(reinterpret_cast<const char *>(w.bytes.data()), int(w.bytes.size()));
    }
    static QSlider *slider(MainWindow &w) { return w.findChild<QSlider *>("horizontalSlider"); }
    static void rescan(MainWindow &w)
    {
        MY_flag.store(1);
        QVERIFY(QMetaObject::invokeMethod(&w, "on_ConnectUSB"));
    }

    testutil::StandInSudo sudo{SIMHID_SUDO_DIR};
};

void tst_Report::init()
{
    simhid::reset();
    CMD_FLAG = 0;
}

void tst_Report::commandLineWithoutDisplay()
{
    CMD_Bright = 4;
    CMD_FLAG = 1;
    testutil::MessageCapture log;
    MainWindow w;
    QCOMPARE(log.debugLines().filter("action").size(), 1);
    QCOMPARE(log.debugLines().last(), QString("action == 4"));
    QVERIFY(!log.debugLines().contains("1 send succeed"));
    QCOMPARE(int(CMD_FLAG), 0);
    QVERIFY(simhid::writes().empty());

    // A display found later gets nothing until the slider moves.
    simhid::present(2, 3, 0x0483, 0x5750);
    rescan(w);
    QVERIFY(m_sn);
    CMD_Run();
    QVERIFY(simhid::writes().empty());
}

void tst_Report::sliderSendsExactReport_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("level");
    QTest::newRow("step 0") << 0 << 0x00;
    QTest::newRow("step 3") << 3 << 0x1E;
    QTest::newRow("step 7") << 7 << 0x46;
    QTest::newRow("step 10") << 10 << 0x64;
}

void tst_Report::sliderSendsExactReport()
{
    QFETCH(int, step);
    QFETCH(int, level);

    simhid::present(1, 3, 0x0483, 0x5750);
    MainWindow w;
    if (step == 10)
        slider(w)->setValue(9);
    simhid::clearRecords();
    testutil::MessageCapture log;
    slider(w)->setValue(step);

    const auto writes = simhid::writes();
    QCOMPARE(writes.size(), size_t(1));
    QCOMPARE(writes[0].node, 1);
    QCOMPARE(writes[0].fd, int(m_sn->socket()));
    QCOMPARE(writes[0].result, 38L);
    QVERIFY(writes[0].blocking);
    QCOMPARE(bytes(writes[0]), testutil::brightnessReport(level));
    QCOMPARE(log.debugLines(), (QStringList{QString("action == %1").arg(step), "1 send succeed"}));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(date), reportSize), testutil::brightnessReport(level));
}

void tst_Report::consecutiveReportsDifferOnlyInLevel()
{
    simhid::present(0, 3, 0x0eef, 0x0005);
    MainWindow w;
    slider(w)->setValue(2);
    slider(w)->setValue(8);
    const auto writes = simhid::writes();
    QCOMPARE(writes.size(), size_t(2));
    const QByteArray a = bytes(writes[0]), b = bytes(writes[1]);
    for (int i = 0; i < 38; ++i)
        QCOMPARE(a[i] == b[i], i != 6);
}

void tst_Report::dragSendsEveryPosition()
{
    simhid::present(0, 3, 0x0483, 0x5750);
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QSlider *s = slider(w);
    // Drag the handle from the right end to the left end with the mouse.
    const int y = s->height() / 2;
    auto mouse = [s](QEvent::Type type, int x, int y, Qt::MouseButtons held) {
        QMouseEvent e(type, QPointF(x, y), s->mapToGlobal(QPoint(x, y)), Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(s, &e);
    };
    mouse(QEvent::MouseButtonPress, s->width() - 14, y, Qt::LeftButton);
    for (int x = s->width() - 14; x >= 0; x -= 4)
        mouse(QEvent::MouseMove, x, y, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, 0, y, Qt::NoButton);

    QCOMPARE(s->value(), 0);
    const auto writes = simhid::writes();
    QCOMPARE(writes.size(), size_t(10));
    for (int i = 0; i < 10; ++i)
        QCOMPARE(int(writes[i].bytes[6]), (9 - i) * 10);
}

void tst_Report::actionSlotDoesNothing_data()
{
    QTest::addColumn<int>("action");
    QTest::newRow("single step add") << int(QAbstractSlider::SliderSingleStepAdd);
    QTest::newRow("page sub") << int(QAbstractSlider::SliderPageStepSub);
    QTest::newRow("move") << int(QAbstractSlider::SliderMove);
    QTest::newRow("unknown code") << 12345;
}

void tst_Report::actionSlotDoesNothing()
{
    QFETCH(int, action);
    simhid::present(0, 3, 0x0483, 0x5750);
    MainWindow w;
    const QByteArray before(reinterpret_cast<const char *>(date), reportSize);
    testutil::MessageCapture log;
    QVERIFY(QMetaObject::invokeMethod(&w, "on_horizontalSlider_actionTriggered", Q_ARG(int, action)));
    QVERIFY(simhid::writes().empty());
    QVERIFY(log.messages().isEmpty());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(date), reportSize), before);
}

void tst_Report::commandLineSendsOnceAtStart()
{
    simhid::present(1, 3, 0x0483, 0x5750);
    CMD_Bright = 4;
    CMD_FLAG = 1;
    testutil::MessageCapture log;
    MainWindow w;
    const auto writes = simhid::writes();
    QCOMPARE(writes.size(), size_t(1));
    QCOMPARE(bytes(writes[0]), testutil::brightnessReport(0x28));
    QCOMPARE(log.debugLines().mid(log.debugLines().size() - 2),
             (QStringList{"action == 4", "1 send succeed"}));
    QCOMPARE(int(CMD_FLAG), 0);
    // Used up: a rescan or a second call sends nothing more.
    rescan(w);
    CMD_Run();
    QCOMPARE(simhid::writes().size(), size_t(1));
    QCOMPARE(slider(w)->value(), 10);
}

void tst_Report::noCommandLineSendsNothing()
{
    simhid::present(1, 3, 0x0483, 0x5750);
    MainWindow w;
    testutil::MessageCapture log;
    CMD_Run();
    QVERIFY(log.messages().isEmpty());
    QVERIFY(simhid::writes().empty());
}

void tst_Report::unpluggedWritesFailQuietly()
{
    simhid::present(1, 3, 0x0483, 0x5750);
    MainWindow w;
    simhid::unplug(1);
    testutil::MessageCapture log;
    slider(w)->setValue(3);
    slider(w)->setValue(4);
    QCOMPARE(log.debugLines(), (QStringList{"action == 3", "action == 4"}));
    auto writes = simhid::writes();
    QCOMPARE(writes.size(), size_t(2));
    for (const auto &wr : writes) {
        QCOMPARE(wr.result, -1L);
        QCOMPARE(wr.err, ENODEV);
    }
    QVERIFY(w.isEnabled());

    simhid::plug(1);
    rescan(w);
    simhid::clearRecords();
    log.clear();
    slider(w)->setValue(5);
    writes = simhid::writes();
    QCOMPARE(writes.size(), size_t(1));
    QCOMPARE(writes[0].result, 38L);
    QCOMPARE(int(writes[0].bytes[6]), 50);
    QCOMPARE(log.debugLines(), (QStringList{"action == 5", "1 send succeed"}));
}

QTEST_MAIN(tst_Report)
#include "tst_report.moc"
