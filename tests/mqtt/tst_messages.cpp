#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>

#include "mqtt/control.h"
#include "mqtt/messages.h"
#include "control/screenstate.h"
#include "control/values.h"

// The state payload, in-process: from a record's entry, and from the state a
// fade of the bridge's own is going to.
class tst_Messages : public QObject
{
    Q_OBJECT

private slots:
    void stateOfEntry_data();
    void stateOfEntry();
    void stateOfTarget_data();
    void stateOfTarget();

private:
    // The fields Home Assistant reads, in one line: "ON 40 remembered 40 dimmed".
    static QString summary(const std::string &payload)
    {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
        QString s = o["state"].isNull() ? "null" : o["state"].toString();
        if (o.contains("brightness") && !o["brightness"].isNull())
            s += ' ' + QString::number(o["brightness"].toInt());
        s += o["remembered"].toBool() ? " remembered" : " not remembered";
        if (o.contains("remembered_brightness"))
            s += ' ' + QString::number(o["remembered_brightness"].toInt());
        if (o["dimmed"].toBool())
            s += " dimmed";
        return s;
    }
};

void tst_Messages::stateOfEntry_data()
{
    QTest::addColumn<QString>("line");  // the record's line; "" for none
    QTest::addColumn<QString>("state");

    QTest::newRow("no entry: unknown") << "" << "null not remembered";
    QTest::newRow("on at 40") << "p 0483:5750 40 1 on" << "ON 40 remembered 40";
    QTest::newRow("off, 60 kept") << "p 0483:5750 60 2 off" << "OFF remembered 60";
    QTest::newRow("dimmed by idle") << "p 0483:5750 60 3 dim:20" << "ON 20 remembered 60 dimmed";
    QTest::newRow("off by idle") << "p 0483:5750 60 3 off:idle" << "OFF remembered 60";
    // Nothing remembered: ON brings 100, which nobody wrote.
    QTest::newRow("nothing remembered, off") << "p 0483:5750 0 1 off" << "OFF not remembered 100";
    QTest::newRow("nothing remembered, dimmed") << "p 0483:5750 0 1 dim:30" << "ON 30 not remembered 100 dimmed";
}

void tst_Messages::stateOfEntry()
{
    QFETCH(QString, line);
    QFETCH(QString, state);
    control::Record record;
    QVERIFY(control::parseRecord(line.toStdString() + '\n', &record));
    const control::Entry *entry = record.entries.empty() ? nullptr : &record.entries.front();
    QCOMPARE(summary(mqtt::statePayload(mqtt::panelStateOf(entry))), state);
}

void tst_Messages::stateOfTarget_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("power");  // control::Power
    QTest::addColumn<QString>("state");

    QTest::newRow("to 70") << 70 << int(control::Power::On) << "ON 70 remembered 70";
    QTest::newRow("to off, 70 kept") << 70 << int(control::Power::Off) << "OFF remembered 70";
    QTest::newRow("to off, nothing remembered") << 0 << int(control::Power::Off) << "OFF not remembered 100";
}

void tst_Messages::stateOfTarget()
{
    QFETCH(int, level);
    QFETCH(int, power);
    QFETCH(QString, state);
    control::ScreenState s;
    s.level = level;
    s.power = static_cast<control::Power>(power);
    QCOMPARE(summary(mqtt::statePayload(mqtt::panelStateOf(s))), state);
}

QTEST_GUILESS_MAIN(tst_Messages)
#include "tst_messages.moc"
