#include <QtTest>

#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include "store.h"

// The record on a clock past 2038-01-19 03:14:07 UTC, where a 32-bit
// time_t ends: a record file stamped then is read back and replaced.
class tst_Store : public QObject
{
    Q_OBJECT

private slots:
    void stampedRecord_data();
    void stampedRecord();
};

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

QTEST_GUILESS_MAIN(tst_Store)
#include "tst_store.moc"
