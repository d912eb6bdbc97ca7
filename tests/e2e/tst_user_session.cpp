#include <QtTest>

#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QRegularExpression>

#include <unistd.h>

#include "../support/program.h"
#include "../support/testutil.h"

// A person's session with the real program under a private X server, the
// simulated display preloaded: keys and mouse on the slider, the display
// unplugged and plugged in again, and a screenshot of the window.
//
// The test functions run in order on one running program; each one starts
// where the one before left the slider.
class tst_UserSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void keys_data();
    void keys();
    void clickLeftOfHandle();
    void dragAcrossHandle();
    void displayGotOneReportPerChange();
    void unpluggedDisplayStaysResponsive();
    void searchWithoutDisplay();
    void pluggedInAgainReachesDisplay();
    void screenshotShowsStatusLine();

private:
    // The slider's place in the window (the form's geometry) and the handle's
    // length along the groove: 28 pixels wide plus a 1-pixel border on each
    // side, from the style sheet.
    static constexpr int sliderX = 47, sliderY = 8, sliderW = 320, sliderH = 35, handle = 30;
    static int handleCentre(int step) { return sliderX + handle / 2 + step * (sliderW - handle) / 10; }
    static constexpr int sliderMiddleY = sliderY + sliderH / 2;

    static QString hexReport(int level) { return QString::fromLatin1(testutil::brightnessReport(level).toHex()); }
    static bool root() { return geteuid() == 0; }
    static bool triggerUevent()
    {
        QFile f("/sys/class/net/lo/uevent");
        return f.open(QFile::WriteOnly) && f.write("change\n") == 7;
    }
    QStringList stderrLines()
    {
        err += program.readAllStandardError();
        return QString::fromUtf8(err).split('\n', Qt::SkipEmptyParts);
    }
    int actionLines() { return stderrLines().filter(QRegularExpression("^action == \\d+$")).size(); }
    int sentLines() { return stderrLines().filter(QRegularExpression("^1 send succeed$")).size(); }
    void xdo(const QStringList &args)
    {
        int code = -1;
        x.xdotool(args, &code);
        QVERIFY2(code == 0, qPrintable("xdotool " + args.join(' ')));
    }
    void moveTo(int x0, int y0)
    {
        xdo({"mousemove", "--sync", "--window", window, QString::number(x0), QString::number(y0)});
    }
    // The descriptor of the display's latest successful open before each
    // write, in order: a uevent from elsewhere on the machine makes the
    // window search again, which opens the display anew and closes the old
    // descriptor.
    QStringList handlesOfWrites() const
    {
        QStringList out;
        QString handle;
        const QRegularExpression opened("^open 1 ([1-9]\\d*) 0$");
        for (const QString &line : sim.events()) {
            const QRegularExpressionMatch m = opened.match(line);
            if (m.hasMatch())
                handle = m.captured(1);
            else if (line.startsWith("write "))
                out << handle;
        }
        return out;
    }
    // Successful opens of the display's node so far.
    QStringList displayOpens() const
    {
        return sim.events("open").filter(QRegularExpression("^open 1 [1-9]\\d* 0$"));
    }
    QString screenshot(const QString &name);

    testutil::Xvfb x;
    testutil::SimulatedDisplayFiles sim;
    QProcess program;
    QByteArray err;
    QString window;
    QList<int> expected;   // levels the display must have received, in order
    int changes = 0;       // value changes so far, one "action == N" line each
};

void tst_UserSession::initTestCase()
{
    for (const char *tool : {"Xvfb", "xdotool", "import"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed (scripts/deps.sh TEST_PACKAGES)").arg(tool)));
    QVERIFY2(x.start(), "Xvfb did not start");

    // A keyboard-like HID node first, then the display.
    sim.setNodes({"0 present 3 046d c31c", "1 present 3 0483 5750"});
    QProcessEnvironment env = sim.environment(SIMHID_SUDO_DIR, SIMHID_PRELOAD);
    env.remove("QT_QPA_PLATFORM");
    env.insert("DISPLAY", x.display);
    program.setProcessEnvironment(env);
    testutil::startProgram(program, BRIGHTNESS_BINARY, {});
    QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));

    // The window appears after the first search has found the display.
    QElapsedTimer waited;
    waited.start();
    while (window.isEmpty() && waited.elapsed() < 60000) {
        window = x.xdotool({"search", "--onlyvisible", "--name", "^brightness$"}).section('\n', 0, 0);
        if (window.isEmpty())
            QTest::qWait(250);
    }
    QVERIFY2(!window.isEmpty(), "no visible window titled brightness");
    QVERIFY(!displayOpens().isEmpty());
    QVERIFY(sim.events("write").isEmpty());
    const QString geometry = x.xdotool({"getwindowgeometry", "--shell", window});
    QVERIFY2(geometry.contains("WIDTH=430") && geometry.contains("HEIGHT=85"), qPrintable(geometry));
    xdo({"windowfocus", "--sync", window});
    // Let the window settle: focus in, first paint.
    QTest::qWait(1000);
}

void tst_UserSession::cleanupTestCase()
{
    if (program.state() != QProcess::NotRunning) {
        program.kill();
        program.waitForFinished(10000);
    }
}

void tst_UserSession::keys_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QList<int>>("levels");   // what the display gets from this key

    // The slider starts at 10.
    QTest::newRow("Left") << "Left" << QList<int>{90};
    QTest::newRow("Left again") << "Left" << QList<int>{80};
    QTest::newRow("Right") << "Right" << QList<int>{90};
    QTest::newRow("Down") << "Down" << QList<int>{80};
    QTest::newRow("Up") << "Up" << QList<int>{90};
    QTest::newRow("Home") << "Home" << QList<int>{0};
    QTest::newRow("Left at the start") << "Left" << QList<int>{};
    QTest::newRow("Home at the start") << "Home" << QList<int>{};
    QTest::newRow("End") << "End" << QList<int>{100};
    QTest::newRow("Right at the end") << "Right" << QList<int>{};
}

void tst_UserSession::keys()
{
    QFETCH(QString, key);
    QFETCH(QList<int>, levels);

    xdo({"key", key});
    if (levels.isEmpty())
        QTest::qWait(700);   // a report, if one came, would show by now or at the next row
    expected += levels;
    changes += levels.size();
    QTRY_COMPARE_WITH_TIMEOUT(sim.levels(), expected, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(actionLines(), changes, 10000);
    QCOMPARE(sentLines(), changes);
}

void tst_UserSession::clickLeftOfHandle()
{
    // At 10 the handle is at the right end; a left click on the groove moves
    // one page step (1) towards the click.
    moveTo(sliderX + 40, sliderMiddleY);
    xdo({"click", "1"});
    expected << 90;
    ++changes;
    QTRY_COMPARE_WITH_TIMEOUT(sim.levels(), expected, 20000);
    // Held no longer than a click: no auto-repeat follows.
    QTest::qWait(1000);
    QCOMPARE(sim.levels(), expected);
    QCOMPARE(actionLines(), changes);
}

void tst_UserSession::dragAcrossHandle()
{
    // Grab the handle at 9 and drag it to the left end one position at a
    // time; with tracking on, each position passed sends its own report.
    moveTo(handleCentre(9), sliderMiddleY);
    xdo({"mousedown", "1"});
    for (int step = 8; step >= 0; --step) {
        moveTo(handleCentre(step), sliderMiddleY);
        expected << step * 10;
        ++changes;
        QTRY_COMPARE_WITH_TIMEOUT(sim.levels(), expected, 20000);
    }
    // Past the end of the groove the slider stays at 0.
    moveTo(5, sliderMiddleY);
    xdo({"mouseup", "1"});
    QTest::qWait(700);
    QCOMPARE(sim.levels(), expected);
    QCOMPARE(actionLines(), changes);
    QCOMPARE(sentLines(), changes);
}

void tst_UserSession::displayGotOneReportPerChange()
{
    // Everything the display received so far: one full brightness report per
    // value change, in order, each on the descriptor the latest search
    // opened, and nothing else.
    const QStringList writes = sim.events("write");
    const QStringList handles = handlesOfWrites();
    QCOMPARE(writes.size(), expected.size());
    for (int i = 0; i < writes.size(); ++i)
        QCOMPARE(writes[i], QString("write 1 %1 38 1 %2").arg(handles[i], hexReport(expected[i])));
    QVERIFY(sim.events("read").isEmpty());
    // Only descriptors that a later search replaced were closed.
    QCOMPARE(sim.events("close").filter(QRegularExpression("^close 1 ")).size(), displayOpens().size() - 1);
    QCOMPARE(expected.size(), changes);
}

void tst_UserSession::unpluggedDisplayStaysResponsive()
{
    sim.setNodes({"0 present 3 046d c31c", "1 unplugged"});
    const int writesBefore = sim.events("write").size();
    const int sentBefore = sentLines();

    // Each key still changes the value; the write on the old descriptor fails.
    for (int step = 1; step <= 2; ++step) {
        xdo({"key", "Right"});
        ++changes;
        QTRY_COMPARE_WITH_TIMEOUT(actionLines(), changes, 10000);
        QCOMPARE(stderrLines().filter(QRegularExpression("^action == \\d+$")).last(),
                 QString("action == %1").arg(step));
        QTRY_COMPARE_WITH_TIMEOUT(sim.events("write").size(), writesBefore + step, 10000);
        QVERIFY2(sim.events("write").last().startsWith("write 1 "), qPrintable(sim.events("write").last()));
        QCOMPARE(sim.events("write").last().section(' ', 3, 3), QString("-1"));
    }
    QCOMPARE(sentLines(), sentBefore);
    QCOMPARE(sim.levels(), expected);
    QCOMPARE(program.state(), QProcess::Running);
}

void tst_UserSession::searchWithoutDisplay()
{
    if (!root())
        QSKIP("making the kernel broadcast a uevent needs root (writes /sys/class/net/lo/uevent)");
    // A device event makes the window search again; with the display gone
    // the status line says so.
    const int failedOpens = sim.events("open 1 -1").size();
    QVERIFY(triggerUevent());
    QTRY_VERIFY_WITH_TIMEOUT(sim.events("open 1 -1").size() > failedOpens, 10000);
    QTest::qWait(300);
    screenshot("user-session-unplugged.png");
}

void tst_UserSession::pluggedInAgainReachesDisplay()
{
    if (!root())
        QSKIP("making the kernel broadcast a uevent needs root (writes /sys/class/net/lo/uevent)");
    sim.setNodes({"0 present 3 046d c31c", "1 present 3 0483 5750"});
    const int opensBefore = displayOpens().size();
    QVERIFY(triggerUevent());
    // The search opens the display again and shows it as connected.
    QTRY_VERIFY_WITH_TIMEOUT(displayOpens().size() > opensBefore, 10000);

    // Nothing is sent on finding it; the next move reaches it at 3.
    QTest::qWait(500);
    QCOMPARE(sim.levels(), expected);
    xdo({"key", "Right"});
    expected << 30;
    ++changes;
    QTRY_COMPARE_WITH_TIMEOUT(sim.levels(), expected, 20000);
    QCOMPARE(sim.events("write").last(), QString("write 1 %1 38 1 %2").arg(handlesOfWrites().last(), hexReport(30)));
    QTRY_COMPARE_WITH_TIMEOUT(sentLines(), changes - 2, 10000);   // the two while unplugged failed
}

void tst_UserSession::screenshotShowsStatusLine()
{
    // Without a font for the status texts they would show as boxes.
    QVERIFY2(!QFontDatabase().families(QFontDatabase::SimplifiedChinese).isEmpty(),
             "no font for Chinese text (fonts-wqy-microhei, scripts/deps.sh BUILD_PACKAGES)");
    const QString path = screenshot("user-session.png");
    QVERIFY(!path.isEmpty());
    const QImage shot(path);
    QCOMPARE(shot.size(), QSize(430, 85));

    // The status line holds text: dark pixels on the light window.
    const QRect status(10, 50, 151, 22);
    int dark = 0;
    for (int yy = status.top(); yy <= status.bottom(); ++yy)
        for (int xx = status.left(); xx <= status.right(); ++xx)
            dark += qGray(shot.pixel(xx, yy)) < 96;
    QVERIFY2(dark > 40, qPrintable(QString::number(dark)));

    // Connected and not connected read differently.
    const QImage unplugged(QDir(ARTIFACTS_DIR).filePath("user-session-unplugged.png"));
    if (!unplugged.isNull())
        QVERIFY(unplugged.copy(status) != shot.copy(status));
    QCOMPARE(program.state(), QProcess::Running);
}

QString tst_UserSession::screenshot(const QString &name)
{
    QDir().mkpath(ARTIFACTS_DIR);
    const QString path = QDir(ARTIFACTS_DIR).filePath(name);
    QFile::remove(path);
    QProcess import;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", x.display);
    import.setProcessEnvironment(env);
    import.start("import", {"-window", window, path});
    if (!import.waitForFinished(30000) || import.exitCode() != 0 || !QFile::exists(path)) {
        qWarning("import failed: %s", import.readAllStandardError().constData());
        return QString();
    }
    qInfo("screenshot: %s", qPrintable(path));
    return path;
}

QTEST_MAIN(tst_UserSession)
#include "tst_user_session.moc"
