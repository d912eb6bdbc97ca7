#include <QtTest>

#include "control/screenstate.h"

// The state model against docs/state.md's table: one row per cell, every
// request in every state, so that the table cannot drift from the rules.
class tst_State : public QObject
{
    Q_OBJECT

private slots:
    void table();
    void transitions_data();
    void transitions();
};

namespace {

using control::By;
using control::Power;
using control::ScreenState;

ScreenState state(int level, Power power = Power::On, By by = By::Person, int dim = 0)
{
    ScreenState s;
    s.level = level;
    s.power = power;
    s.by = by;
    s.dim = dim;
    return s;
}

// The table's columns, in its order.
const QList<QPair<QString, ScreenState>> &states()
{
    static const QList<QPair<QString, ScreenState>> all{
        {"on 40%", state(40)},
        {"off 40%", state(40, Power::Off)},
        {"off 40% by idle", state(40, Power::Off, By::Idle)},
        {"dim 20% of 40%", state(40, Power::Dimmed, By::Idle, 20)},
        {"on, nothing", state(0)},
        {"off, nothing", state(0, Power::Off)},
    };
    return all;
}

// The table's rows, in its order: brightness-ctl's commands (floor 5 %),
// then brightness-idle's and brightness-mqtt's requests as they call them.
const QStringList requests{
    "set 60%", "set 0", "set +1", "set +0", "set 1-", "set 60% --stay-off", "set 1- --stay-off", "set 0 --stay-off",
    "on", "off", "toggle", "restore",
    "idle dim 30%", "idle off", "idle wake", "idle wake at night 10%", "idle wake at night 60%",
    "MQTT ON", "MQTT OFF", "MQTT brightness 60", "MQTT brightness 0",
};

bool requestOf(const QString &text, control::Request *r)
{
    QStringList words = text.split(' ');
    r->stayOff = words.removeAll("--stay-off") > 0;
    const QString verb = words.value(0), arg = words.value(1);
    const QString last = words.value(words.size() - 1);
    if (verb == "set" && words.size() == 2) {
        r->input = control::Input::Set;
        return control::parseValue(arg.toStdString(), &r->value);
    }
    static const QMap<QString, control::Input> plain{
        {"on", control::Input::On},          {"off", control::Input::Off},           {"toggle", control::Input::Toggle},
        {"restore", control::Input::Restore}, {"idle off", control::Input::IdleOff}, {"idle wake", control::Input::IdleWake},
        {"MQTT ON", control::Input::On},     {"MQTT OFF", control::Input::Off},
    };
    if (plain.contains(words.join(' '))) {
        r->input = plain[words.join(' ')];
        return true;
    }
    r->input = text.startsWith("idle dim") ? control::Input::IdleDim
        : text.startsWith("idle wake")     ? control::Input::IdleWake
                                           : control::Input::Set;
    const bool level = text.startsWith("idle") || text.startsWith("MQTT brightness");
    return level && control::parseValue((last.endsWith('%') ? last : last + '%').toStdString(), &r->value);
}

QString stateText(const ScreenState &s)
{
    const QString level = s.level == control::nothingRemembered ? QString(", nothing") : QString(" %1%").arg(s.level);
    switch (s.power) {
    case Power::On:
        return "on" + level;
    case Power::Off:
        return s.level == control::nothingRemembered ? QString("off") + (s.by == By::Idle ? " by idle" : "") + level
                                                 : "off" + level + (s.by == By::Idle ? " by idle" : "");
    case Power::Dimmed:
        return QString("dim %1%").arg(s.dim) + (s.level == control::nothingRemembered ? level : " of" + level);
    }
    return QString();
}

QString cellText(const control::Transition &t, const ScreenState &before)
{
    static const QMap<control::Note, QString> notes{
        {control::Note::None, ""},
        {control::Note::FirstUse, "; says it starts from 100%"},
        {control::Note::StaysDark, "; says it stays off"},
        {control::Note::NotIdles, "; not idle's"},
        {control::Note::NothingToRestore, "; nothing to restore"},
    };
    QString text = t.next == before && t.write == control::noWrite ? "nothing"
        : stateText(t.next) + ", writes " + (t.write == control::noWrite ? "nothing" : QString::number(t.write));
    return text + notes[t.note];
}

// The table's cells: "| a | b |" lines after the header's separator.
QStringList cellsOf(const QString &line)
{
    QStringList cells = line.trimmed().split('|');
    cells = cells.mid(1, cells.size() - 2);
    for (QString &c : cells)
        c = c.trimmed().remove('`');
    return cells;
}

QList<QStringList> tableOf(QString *why)
{
    QFile file(STATE_TABLE);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *why = file.errorString();
        return {};
    }
    QList<QStringList> rows;
    bool inTable = false;
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (!line.startsWith('|')) {
            if (inTable)
                break;
            continue;
        }
        inTable = true;
        if (!line.contains("---"))
            rows << cellsOf(line);
    }
    return rows;
}

} // namespace

void tst_State::table()
{
    // Every state a column, every request a row: no cell left out.
    QString why;
    const QList<QStringList> rows = tableOf(&why);
    QVERIFY2(!rows.isEmpty(), qPrintable(why));
    QStringList columns{"Request"};
    for (const auto &s : states())
        columns << s.first;
    QCOMPARE(rows[0], columns);
    QStringList names;
    for (const QStringList &row : rows.mid(1)) {
        QCOMPARE(row.size(), columns.size());
        names << row[0];
    }
    QCOMPARE(names, requests);
}

void tst_State::transitions_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("cell");

    QString why;
    const QList<QStringList> rows = tableOf(&why);
    for (const QStringList &row : rows.mid(1))
        for (int c = 1; c < row.size() && c <= states().size(); ++c)
            QTest::addRow("%s | %s", qPrintable(row[0]), qPrintable(states()[c - 1].first))
                << row[0] << c - 1 << row[c];
}

void tst_State::transitions()
{
    QFETCH(QString, request);
    QFETCH(int, column);
    QFETCH(QString, cell);

    control::Request r;
    QVERIFY2(requestOf(request, &r), qPrintable(request));
    const ScreenState before = states()[column].second;
    const control::Transition t = control::transition(r, before);
    QCOMPARE(cellText(t, before), cell);

    // The record holds every state a request leaves.
    control::Entry e{"pci-0000:00:14.0-usb-0:2:1.0", 0x0483, 0x5750, 0, 1};
    control::putState(t.next, &e);
    control::Record record, back;
    control::putEntry(&record, e);
    QVERIFY(control::parseRecord(control::formatRecord(record), &back));
    QCOMPARE(int(back.entries.size()), 1);
    const ScreenState read = control::stateOf(&back.entries[0]);
    QVERIFY2(read == t.next || (t.next == before && t.write == control::noWrite),
             qPrintable(stateText(t.next) + " read back as " + stateText(read)));
}

QTEST_APPLESS_MAIN(tst_State)
#include "tst_state.moc"
