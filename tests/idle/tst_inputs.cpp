#include <QtTest>

#include <cerrno>

#include "faults/readdir_fault.h"
#include "idle/inputs.h"

// The scan of the input directory: a read of it that fails is reported with
// the directory's name, so that the devices it missed are not silently lost.
class tst_Inputs : public QObject
{
    Q_OBJECT

private slots:
    void scanFailure_data();
    void scanFailure();
};

void tst_Inputs::scanFailure_data()
{
    QTest::addColumn<int>("entries");  // readdir's entries before it fails; -1: it never does
    QTest::addColumn<int>("error");

    QTest::newRow("read to its end") << -1 << 0;
    QTest::newRow("EOVERFLOW at once, as 32-bit without LFS") << 0 << EOVERFLOW;
    QTest::newRow("EIO after two entries") << 2 << EIO;
}

void tst_Inputs::scanFailure()
{
    QFETCH(int, entries);
    QFETCH(int, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Not a device: opened, found to be no person's, and closed again.
    QFile notDevice(dir.filePath("event0"));
    QVERIFY(notDevice.open(QIODevice::WriteOnly));
    notDevice.close();

    idle::Inputs inputs;
    if (entries >= 0)
        readdir_fault_arm(entries, error);
    const auto refused = inputs.scan(dir.path().toStdString());
    readdir_fault_disarm();

    QVERIFY(inputs.empty());
    using Refused = std::vector<std::pair<std::string, int>>;
    Refused expected;
    if (error)
        expected.emplace_back(dir.path().toStdString(), error);
    QVERIFY(refused == expected);
}

QTEST_GUILESS_MAIN(tst_Inputs)
#include "tst_inputs.moc"
