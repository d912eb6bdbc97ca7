#include <QtTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include "faults/readdir_fault.h"
#include "control/store.h"
#include "sysfstree.h"

// The record's replacement: what a killed writer left is cleared away, and
// a scan of the directory that fails is a failed write, never a silent one.
// And the record on a clock past 2038-01-19 03:14:07 UTC, where a 32-bit
// time_t ends: a record file stamped then is read back and replaced.
class tst_Store : public QObject
{
    Q_OBJECT

private slots:
    void largeFiles();
    void leftovers_data();
    void leftovers();
    void stampedRecord_data();
    void stampedRecord();
};

void tst_Store::leftovers_data()
{
    QTest::addColumn<int>("entries");  // readdir's entries before it fails; -1: it never does
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("written");

    QTest::newRow("all read: leftovers cleared") << -1 << 0 << true;
    QTest::newRow("EOVERFLOW at once, as 32-bit without LFS") << 0 << EOVERFLOW << false;
    QTest::newRow("EIO after two entries") << 2 << EIO << false;
}

void tst_Store::leftovers()
{
    QFETCH(int, entries);
    QFETCH(int, error);
    QFETCH(bool, written);
    testutil::SysfsTree staged;
    const std::string old = testutil::placeOf(1) + " 0483:5750 30 1\n";
    QVERIFY(staged.setRecord(old));
    const QString dir = QString::fromStdString(staged.stateDir());
    for (const char *name : {".levels.a1b2c3", ".levels.d4e5f6"})
        QVERIFY(testutil::writeText(staged.stateDir() + '/' + name, "half"));

    control::Store store(staged.stateDir());
    std::string why;
    QVERIFY2(store.lock(&why), why.c_str());
    control::Record record;
    QVERIFY2(store.read(&record, &why), why.c_str());
    QCOMPARE(record.entries.size(), std::size_t(1));
    record.entries.front().level = 80;
    if (entries >= 0)
        readdir_fault_arm(entries, error);
    const bool ok = store.write(record, false, &why);
    readdir_fault_disarm();
    store.unlock();

    QCOMPARE(ok, written);
    const QStringList left = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (written) {
        QVERIFY2(left == QStringList{"levels"}, qPrintable(left.join(' ')));
        QVERIFY(QString::fromStdString(staged.record()).contains(" 80 "));
    } else {
        QCOMPARE(QString::fromStdString(why), "cannot read " + dir + ": " + std::strerror(error));
        QCOMPARE(staged.record(), old);
    }
}

void tst_Store::stampedRecord_data()
{
    QTest::addColumn<qint64>("stamp");  // the record file's modification time, seconds since the epoch

    QTest::newRow("2024") << qint64(1718971200);
    QTest::newRow("the last second of 32-bit time") << qint64(INT32_MAX);
    QTest::newRow("the second after it") << qint64(INT32_MAX) + 1;
    QTest::newRow("2040-06-21") << qint64(2223892800);
    QTest::newRow("2106, past unsigned 32-bit time") << qint64(4294967296) + 86400;
}

void tst_Store::stampedRecord()
{
    QFETCH(qint64, stamp);
    if (sizeof(time_t) < 8 && stamp > INT32_MAX)
        QSKIP("32-bit time_t: a file time past 2038-01-19 cannot be set or read by this build");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    control::Store store(dir.path().toStdString());
    std::string why;
    control::Record record;
    record.entries.push_back({"pci-0000:01:00.0-usb-0:1.2:1.0", 0x0483, 0x5750, 70, 3});
    QVERIFY2(store.lock(&why), why.c_str());
    QVERIFY2(store.write(record, false, &why), why.c_str());

    const timespec times[2] = {{time_t(stamp), 0}, {time_t(stamp), 0}};
    QVERIFY2(utimensat(AT_FDCWD, store.file().c_str(), times, 0) == 0, strerror(errno));
    struct stat st;
    QVERIFY(stat(store.file().c_str(), &st) == 0);
    QCOMPARE(qint64(st.st_mtime), stamp);

    control::Record read;
    QVERIFY2(store.read(&read, &why), why.c_str());
    QCOMPARE(read.entries.size(), size_t(1));
    QCOMPARE(read.entries[0].level, 70);
    QCOMPARE(read.entries[0].serial, 3ul);

    // Replaced on the same clock: the new text is read back.
    record.entries[0].level = 40;
    QVERIFY2(store.write(record, true, &why), why.c_str());
    QVERIFY2(utimensat(AT_FDCWD, store.file().c_str(), times, 0) == 0, strerror(errno));
    QVERIFY2(store.read(&read, &why), why.c_str());
    QCOMPARE(read.entries[0].level, 40);
}

// Built as the package is (dpkg-buildflags): on 32-bit ARM without 64-bit
// file offsets, readdir fails with EOVERFLOW on ext4 and leftovers stay.
void tst_Store::largeFiles()
{
    QCOMPARE(sizeof(off_t), std::size_t(8));
    QCOMPARE(sizeof(ino_t), std::size_t(8));
}

QTEST_GUILESS_MAIN(tst_Store)
#include "tst_store.moc"
