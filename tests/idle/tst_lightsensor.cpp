#include <QtTest>

#include <cmath>
#include <string>

#include <unistd.h>

#include "idle/lightsensor.h"

// The light sensor found and read in sysfs trees staged as the kernel's IIO
// drivers lay them out.
class tst_LightSensor : public QObject
{
    Q_OBJECT

private slots:
    void reading_data();
    void reading();
    void replug_data();
    void replug();
};

namespace {

// Under root's bus/iio/devices, as sysfs names them: "path=text" a file,
// "path -> target" a symbolic link, "" the directory alone.
bool stage(const QString &root, const QStringList &entries)
{
    const QString devices = root + "/bus/iio/devices";
    for (const QString &entry : entries) {
        const int link = entry.indexOf(" -> "), equals = entry.indexOf('=');
        const QString path = QDir::cleanPath(devices + '/' + entry.left(link >= 0 ? link : equals));
        if (!QDir().mkpath(entry.isEmpty() ? devices : QFileInfo(path).path()))
            return false;
        if (link >= 0 && symlink(entry.mid(link + 4).toLocal8Bit().constData(), path.toLocal8Bit().constData()) != 0)
            return false;
        QFile file(path);
        if (equals >= 0 && (!file.open(QIODevice::WriteOnly) || file.write(entry.mid(equals + 1).toUtf8()) < 0))
            return false;
    }
    return true;
}

} // namespace

void tst_LightSensor::reading_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("found");
    QTest::addColumn<bool>("read");
    QTest::addColumn<double>("lux");
    QTest::addColumn<QString>("said");  // describe() after a reading, else found in why

    QTest::newRow("input with a fraction, named") << QStringList{"iio:device0/in_illuminance_input=123.456\n", "iio:device0/name=tsl2591\n"} << true << true << 123.456 << "light sensor iio:device0 (tsl2591)";
    QTest::newRow("index 0 input, signed") << QStringList{"iio:device0/in_illuminance0_input=+7.5\n"} << true << true << 7.5 << "light sensor iio:device0";
    QTest::newRow("input before raw") << QStringList{"iio:device0/in_illuminance_raw=999\n", "iio:device0/in_illuminance_input=50\n"} << true << true << 50.0 << "light sensor iio:device0";
    QTest::newRow("raw with scale and offset") << QStringList{"iio:device0/in_illuminance_raw=200\n", "iio:device0/in_illuminance_scale=0.500000\n", "iio:device0/in_illuminance_offset=10\n"} << true << true << 105.0 << "light sensor iio:device0";
    QTest::newRow("raw without scale") << QStringList{"iio:device0/in_illuminance_raw=42\n", "iio:device0/name=bh1750\n"} << true << true << 42.0 << "light sensor iio:device0 (bh1750)";
    QTest::newRow("index 0 raw, shared scale") << QStringList{"iio:device0/in_illuminance0_raw=1000\n", "iio:device0/in_illuminance_scale=0.25\n"} << true << true << 250.0 << "light sensor iio:device0";
    QTest::newRow("index 0 raw, own scale first") << QStringList{"iio:device0/in_illuminance0_raw=100\n", "iio:device0/in_illuminance0_scale=2\n", "iio:device0/in_illuminance_scale=3\n"} << true << true << 200.0 << "light sensor iio:device0";
    QTest::newRow("negative raw with offset") << QStringList{"iio:device0/in_illuminance_raw=-20\n", "iio:device0/in_illuminance_offset=50\n", "iio:device0/in_illuminance_scale=0.5\n"} << true << true << 15.0 << "light sensor iio:device0";
    QTest::newRow("below zero is dark") << QStringList{"iio:device0/in_illuminance_raw=-20\n", "iio:device0/in_illuminance_offset=5\n"} << true << true << 0.0 << "light sensor iio:device0";
    QTest::newRow("clear channels are not lux") << QStringList{"iio:device0/in_intensity_clear_raw=500\n", "iio:device0/in_illuminance_clear_raw=500\n", "iio:device1/in_illuminance_raw=9\n"} << true << true << 9.0 << "light sensor iio:device1";
    QTest::newRow("device2 before device10") << QStringList{"iio:device10/in_illuminance_input=1\n", "iio:device2/in_illuminance_input=2\n"} << true << true << 2.0 << "light sensor iio:device2";
    QTest::newRow("a link to the device, as sysfs has") << QStringList{"../../../devices/platform/i2c/1-0023/iio:device0/in_illuminance_raw=64\n", "iio:device0 -> ../../../devices/platform/i2c/1-0023/iio:device0"} << true << true << 64.0 << "light sensor iio:device0";
    QTest::newRow("junk: letters after") << QStringList{"iio:device0/in_illuminance_input=12abc\n", "iio:device1/in_illuminance_input=3\n"} << true << false << 0.0 << "iio:device0/in_illuminance_input: not a number";
    QTest::newRow("junk: exponent") << QStringList{"iio:device0/in_illuminance_input=1e3\n"} << true << false << 0.0 << "in_illuminance_input: not a number";
    QTest::newRow("junk: blank first") << QStringList{"iio:device0/in_illuminance_raw= 12\n"} << true << false << 0.0 << "in_illuminance_raw: not a number";
    QTest::newRow("junk: point without fraction") << QStringList{"iio:device0/in_illuminance_raw=5.\n"} << true << false << 0.0 << "in_illuminance_raw: not a number";
    QTest::newRow("junk: two lines") << QStringList{"iio:device0/in_illuminance_raw=5\n6\n"} << true << false << 0.0 << "in_illuminance_raw: not a number";
    QTest::newRow("junk: empty") << QStringList{"iio:device0/in_illuminance_raw="} << true << false << 0.0 << "in_illuminance_raw: not a number";
    QTest::newRow("junk: scale") << QStringList{"iio:device0/in_illuminance_raw=5\n", "iio:device0/in_illuminance_scale=nan\n"} << true << false << 0.0 << "in_illuminance_scale: not a number";
    QTest::newRow("no devices directory") << QStringList{} << false << false << 0.0 << "no light sensor in ";
    QTest::newRow("empty directory") << QStringList{""} << false << false << 0.0 << "no light sensor in ";
    QTest::newRow("devices without light") << QStringList{"iio:device0/in_temp_raw=20\n", "trigger0/in_illuminance_raw=1\n"} << false << false << 0.0 << "no light sensor in ";
}

void tst_LightSensor::reading()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, found);
    QFETCH(bool, read);
    QFETCH(double, lux);
    QFETCH(QString, said);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(stage(root.path(), entries));

    for (bool findFirst : {true, false}) {
        idle::LightSensor sensor(root.path().toStdString());
        std::string why;
        if (findFirst)
            QCOMPARE(sensor.find(&why), found);
        double got = -1;
        QCOMPARE(sensor.read(&got, &why), read);
        if (read) {
            QVERIFY2(std::fabs(got - lux) < 1e-9, qPrintable(QString::number(got, 'g', 17)));
            QCOMPARE(QString::fromStdString(sensor.describe()), said);
        } else {
            QVERIFY2(QString::fromStdString(why).contains(said), why.c_str());
        }
        QCOMPARE(sensor.path().empty(), !found);
    }
}

void tst_LightSensor::replug_data()
{
    QTest::addColumn<bool>("plugBack");
    QTest::newRow("plugged back as another device") << true;
    QTest::newRow("unplugged for good") << false;
}

// The device's directory goes with it, and a new number comes with its return.
void tst_LightSensor::replug()
{
    QFETCH(bool, plugBack);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(stage(root.path(), {"iio:device0/in_illuminance_raw=10\n", "iio:device0/name=veml7700\n"}));
    idle::LightSensor sensor(root.path().toStdString());
    std::string why;
    double lux = -1;
    QVERIFY2(sensor.read(&lux, &why), why.c_str());
    QCOMPARE(lux, 10.0);

    QVERIFY(QDir(root.filePath("bus/iio/devices/iio:device0")).removeRecursively());
    if (plugBack)
        QVERIFY(stage(root.path(), {"iio:device3/in_illuminance_input=30\n"}));
    lux = -1;
    QCOMPARE(sensor.read(&lux, &why), plugBack);
    if (plugBack) {
        QCOMPARE(lux, 30.0);
        QCOMPARE(sensor.describe(), std::string("light sensor iio:device3"));
        QCOMPARE(sensor.path(), root.filePath("bus/iio/devices/iio:device3").toStdString());
    } else {
        QCOMPARE(why, "no light sensor in " + root.filePath("bus/iio/devices").toStdString());
        QCOMPARE(sensor.describe(), std::string("no light sensor"));
        QVERIFY(sensor.path().empty());
    }
}

QTEST_GUILESS_MAIN(tst_LightSensor)
#include "tst_lightsensor.moc"
