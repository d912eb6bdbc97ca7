#include <QtTest>

#include <QAbstractButton>
#include <QPushButton>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QSlider>
#include <QSocketNotifier>

#include <fcntl.h>

#include "display/device.h"
#include "window/mainwindow.h"
#include "simhid.h"
#include "hotplug/thread.h"
#include "../support/testutil.h"

// Closes every message box that opens while it lives, noting what it said.
class BoxWatcher : public QObject
{
public:
    struct Box {
        QString title, text;
        QMessageBox::StandardButtons buttons;
        QAbstractButton *defaultButton;
    };
    BoxWatcher()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes.append(Box{box->windowTitle(), box->text(), box->standardButtons(), box->defaultButton()});
                box->done(QMessageBox::Ok);
            }
        });
        timer.start(20);
    }
    QList<Box> boxes;

private:
    QTimer timer;
};

// Reading the display's acknowledgement and the raw 64-byte send.
class tst_Replies : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testutil::keepOtherThreadsOffTheTestLog(); }
    void init();
    void acknowledgementShowsOneBox();
    void otherReportsShowNothing_data();
    void otherReportsShowNothing();
    void shortReadAfterAcknowledgement_data();
    void shortReadAfterAcknowledgement();
    void emptyQueueReturnsAtOnce();
    void timeoutSlotReads();
    void modeFollowsLastOperation();
    void rawSendWritesBlockUnchanged();
    void rawSendHeldBackWithoutDisplay();
    void rawSendQuietWhenUnplugged();

private:
    static std::vector<unsigned char> report(std::initializer_list<unsigned char> head, size_t size = 64)
    {
        std::vector<unsigned char> r(head);
        r.resize(size, 0x5c);
        return r;
    }
    static bool nonBlocking() { return fcntl(int(m_sn->socket()), F_GETFL) & O_NONBLOCK; }
    // A message box and a wait spin the event loop, where a search after a
    // uevent from elsewhere on the machine would replace the handle and log.
    static void holdTick(MainWindow &w)
    {
        QVERIFY(testutil::searchTick(&w));
        testutil::searchTick(&w)->stop();
    }

    testutil::StandInSudo sudo{SIMHID_SUDO_DIR};
};

void tst_Replies::init()
{
    simhid::reset();
    simhid::present(1, 3, 0x0483, 0x5750);
}

void tst_Replies::acknowledgementShowsOneBox()
{
    MainWindow w;
    holdTick(w);
    QVERIFY(simhid::queueInput(1, report({0x04, 0xAA, 0x02})));
    BoxWatcher watcher;
    testutil::MessageCapture log;
    QVERIFY(QMetaObject::invokeMethod(&w, "readyRead"));
    QCOMPARE(watcher.boxes.size(), 1);
    const BoxWatcher::Box box = watcher.boxes.first();
    QCOMPARE(box.title, QString("successful Message"));
    QCOMPARE(box.text, QString("Write successful"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(log.debugLines().isEmpty());
    // The report is consumed: the next call finds nothing.
    QVERIFY(QMetaObject::invokeMethod(&w, "readyRead"));
    QCOMPARE(watcher.boxes.size(), 1);
}

void tst_Replies::otherReportsShowNothing_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::newRow("04 AA 01") << QByteArray("\x04\xAA\x01", 3);
    QTest::newRow("05 AA 02") << QByteArray("\x05\xAA\x02", 3);
    QTest::newRow("04 AB 02") << QByteArray("\x04\xAB\x02", 3);
    QTest::newRow("00 AA 02") << QByteArray("\x00\xAA\x02", 3);
}

void tst_Replies::otherReportsShowNothing()
{
    QFETCH(QByteArray, head);
    MainWindow w;
    holdTick(w);
    std::vector<unsigned char> r(head.begin(), head.end());
    r.resize(64, 0);
    QVERIFY(simhid::queueInput(1, r));
    BoxWatcher watcher;
    testutil::MessageCapture log;
    QVERIFY(QMetaObject::invokeMethod(&w, "readyRead"));
    QTest::qWait(60);
    QCOMPARE(watcher.boxes.size(), 0);
    QVERIFY(log.messages().isEmpty());
}

void tst_Replies::shortReadAfterAcknowledgement_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("one byte 04") << 1;
    QTest::newRow("two bytes 04 AA") << 2;
    QTest::newRow("three bytes 04 AA 02") << 3;
}

void tst_Replies::shortReadAfterAcknowledgement()
{
    // Bytes left over from an earlier acknowledgement are not this read's.
    QFETCH(int, size);
    MainWindow w;
    holdTick(w);
    BoxWatcher watcher;
    QVERIFY(simhid::queueInput(1, report({0x04, 0xAA, 0x02})));
    QVERIFY(QMetaObject::invokeMethod(&w, "readyRead"));
    QCOMPARE(watcher.boxes.size(), 1);
    QVERIFY(simhid::queueInput(1, report({0x04, 0xAA, 0x02}, size_t(size))));
    QVERIFY(QMetaObject::invokeMethod(&w, "readyRead"));
    QTest::qWait(60);
    QCOMPARE(watcher.boxes.size(), size >= 3 ? 2 : 1);
}

void tst_Replies::emptyQueueReturnsAtOnce()
{
    MainWindow w;
    holdTick(w);
    BoxWatcher watcher;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(QMetaObject::invokeMethod(&w, "readyRead"));
    QVERIFY(clock.elapsed() < 500);
    QCOMPARE(watcher.boxes.size(), 0);
}

void tst_Replies::timeoutSlotReads()
{
    MainWindow w;
    holdTick(w);
    QVERIFY(simhid::queueInput(1, report({0x04, 0xAA, 0x02})));
    BoxWatcher watcher;
    QVERIFY(QMetaObject::invokeMethod(&w, "HidReceive_timeout"));
    QCOMPARE(watcher.boxes.size(), 1);
}

void tst_Replies::modeFollowsLastOperation()
{
    MainWindow w;
    auto *slider = w.findChild<QSlider *>("horizontalSlider");
    QVERIFY(!nonBlocking());

    QVERIFY(QMetaObject::invokeMethod(&w, "readyRead"));
    QVERIFY(nonBlocking());
    slider->setValue(3);
    char block[64] = {0x04};
    w.HidSendDate(block);
    QVERIFY(!nonBlocking());
    slider->setValue(4);

    const auto writes = simhid::writes();
    QCOMPARE(writes.size(), size_t(3));
    QCOMPARE(writes[0].blocking, false);  // brightness after the read
    QCOMPARE(writes[1].blocking, true);   // the raw send itself
    QCOMPARE(writes[2].blocking, true);   // brightness after the raw send
}

void tst_Replies::rawSendWritesBlockUnchanged()
{
    MainWindow w;
    char block[80];
    for (int i = 0; i < 80; ++i)
        block[i] = char(0xF0 - i);
    testutil::MessageCapture log;
    w.HidSendDate(block);
    w.HidSendDate(block);
    const auto writes = simhid::writes();
    QCOMPARE(writes.size(), size_t(2));
    for (const auto &wr : writes) {
        QCOMPARE(wr.bytes.size(), size_t(64));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(wr.bytes.data()), 64), QByteArray(block, 64));
        QCOMPARE(wr.fd, int(m_sn->socket()));
    }
    QCOMPARE(log.debugLines(), (QStringList{"send successful", "send successful"}));
}

void tst_Replies::rawSendHeldBackWithoutDisplay()
{
    simhid::absent(1);
    MainWindow w;  // finds nothing: not connected, whatever handle exists
    char block[64] = {0x04};
    testutil::MessageCapture log;
    w.HidSendDate(block);
    QVERIFY(simhid::writes().empty());
    QVERIFY(log.messages().isEmpty());
}

void tst_Replies::rawSendQuietWhenUnplugged()
{
    MainWindow w;
    holdTick(w);
    simhid::unplug(1);
    char block[64] = {0x04};
    testutil::MessageCapture log;
    w.HidSendDate(block);
    QCOMPARE(simhid::writes().size(), size_t(1));
    QCOMPARE(simhid::writes()[0].err, ENODEV);
    QVERIFY(log.messages().isEmpty());
    // Reading a removed node shows nothing either.
    BoxWatcher watcher;
    QVERIFY(QMetaObject::invokeMethod(&w, "readyRead"));
    QCOMPARE(watcher.boxes.size(), 0);
}

QTEST_MAIN(tst_Replies)
#include "tst_replies.moc"
