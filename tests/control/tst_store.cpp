#include <QtTest>

#include <cerrno>
#include <cstring>

#include "faults/readdir_fault.h"
#include "store.h"
#include "sysfstree.h"

// The record's replacement: what a killed writer left is cleared away, and
// a scan of the directory that fails is a failed write, never a silent one.
class tst_Store : public QObject
{
    Q_OBJECT

private slots:
    void leftovers_data();
    void leftovers();
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

QTEST_GUILESS_MAIN(tst_Store)
#include "tst_store.moc"
