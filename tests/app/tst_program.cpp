#include <QtTest>

#include "../support/program.h"
#include "../support/testutil.h"

// The built program, as a user starts it: what reaches standard output and
// that the window stays up whatever the command line says.
class tst_Program : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void outputSurvivesKillThroughFile();
};

void tst_Program::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("stdoutText");

    QTest::newRow("none") << QStringList{} << QByteArray();
    QTest::newRow("-b 5") << QStringList{"-b", "5"} << QByteArray("Bright=5\n");
    QTest::newRow("-b5") << QStringList{"-b5"} << QByteArray("Bright=5\n");
    QTest::newRow("-b 10") << QStringList{"-b", "10"} << QByteArray("Bright=10\n");
    QTest::newRow("-b 11") << QStringList{"-b", "11"} << QByteArray("Bright=10\n");
    QTest::newRow("-b 100") << QStringList{"-b", "100"} << QByteArray("Bright=10\n");
    QTest::newRow("-b 256") << QStringList{"-b", "256"} << QByteArray("Bright=0\n");
    QTest::newRow("-b 265") << QStringList{"-b", "265"} << QByteArray("Bright=9\n");
    QTest::newRow("-b -1") << QStringList{"-b", "-1"} << QByteArray("Bright=10\n");
    QTest::newRow("-b -250") << QStringList{"-b", "-250"} << QByteArray("Bright=6\n");
    QTest::newRow("-b abc") << QStringList{"-b", "abc"} << QByteArray("Bright=0\n");
    QTest::newRow("-b 7x") << QStringList{"-b", "7x"} << QByteArray("Bright=7\n");
    QTest::newRow("-b 0x10") << QStringList{"-b", "0x10"} << QByteArray("Bright=0\n");
    QTest::newRow("-b 99999999999") << QStringList{"-b", "99999999999"} << QByteArray("Bright=10\n");
    QTest::newRow("-b 3 -b 8") << QStringList{"-b", "3", "-b", "8"} << QByteArray("Bright=3\nBright=8\n");
    QTest::newRow("-x") << QStringList{"-x"} << QByteArray("other option:?\n");
    QTest::newRow("-b alone") << QStringList{"-b"} << QByteArray("other option:?\n");
    QTest::newRow("-xb 5") << QStringList{"-xb", "5"} << QByteArray("other option:?\nBright=5\n");
    QTest::newRow("extra -b 4") << QStringList{"extra", "-b", "4"} << QByteArray("Bright=4\n");
}

void tst_Program::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, stdoutText);

    testutil::StandInSudo sudo(SIMHID_SUDO_DIR);
    QProcess program;
    testutil::startProgram(program, BRIGHTNESS_BINARY, args);
    QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));

    // The window's constructor runs one full search: ten nodes tried
    // (a uevent from elsewhere on the machine may add a search).
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += program.readAllStandardError()).count("Cant open!") >= 10, 30000);
    QTest::qWait(500);
    QCOMPARE(program.state(), QProcess::Running);
    // Read while it still runs: the lines must not wait for exit.
    program.waitForReadyRead(200);
    QCOMPARE(program.readAllStandardOutput(), stdoutText);
    // The count of nodes tried starts at 1 in a fresh process.
    const QStringList tried = QString::fromUtf8(err + program.readAllStandardError())
                                  .split('\n')
                                  .filter(QRegularExpression(QString::fromUtf8("^   未找到可连接设备\\d+$")));
    QVERIFY2(tried.size() >= 10, qPrintable(tried.join('|')));
    for (int call = 1; call <= 10; ++call)
        QCOMPARE(tried[call - 1], QString::fromUtf8("   未找到可连接设备%1").arg(call));

    program.kill();
    QVERIFY(program.waitForFinished());
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
}

void tst_Program::outputSurvivesKillThroughFile()
{
    // Standard output to a file is fully buffered by default; a killed tool
    // must still leave its lines there.
    testutil::StandInSudo sudo(SIMHID_SUDO_DIR);
    QTemporaryDir dir;
    const QString out = dir.filePath("out.txt");
    QProcess program;
    program.setStandardOutputFile(out);
    testutil::startProgram(program, BRIGHTNESS_BINARY, {"-b", "3", "-q", "-b", "265"});
    QVERIFY(program.waitForStarted());
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += program.readAllStandardError()).count("Cant open!") >= 10, 30000);
    program.kill();
    QVERIFY(program.waitForFinished());
    QFile f(out);
    QVERIFY(f.open(QFile::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("Bright=3\nother option:?\nBright=9\n"));
}

QTEST_GUILESS_MAIN(tst_Program)
#include "tst_program.moc"
