#include <QtTest>

#include <sstream>

#include <sys/stat.h>

#include "control/log.h"

// The daemons' log: repeats counted by kind and said at most once a minute,
// never silenced for good; the journal's priorities only on its stream.
class tst_Log : public QObject
{
    Q_OBJECT

private slots:
    void limited_data();
    void limited();
    void relayLimited_data();
    void relayLimited();
    void journalPrefix_data();
    void journalPrefix();
};

void tst_Log::limited_data()
{
    QTest::addColumn<QString>("calls");  // "KIND@SECONDS" said in turn with the text "KIND n" (n: the call's number)
    QTest::addColumn<QString>("said");   // the lines, '|' between them

    QTest::newRow("the first of a kind at once") << "a@0" << "a 1";
    QTest::newRow("kinds apart, not texts") << "a@0 b@1 a@2" << "a 1|b 2";
    QTest::newRow("again after a minute, with the count") << "a@0 a@10 a@20 a@61"
                                                           << "a 1|a 4 (2 more like it in the last 61 s)";
    QTest::newRow("never silenced for good") << "a@0 a@60 a@120 a@180" << "a 1|a 2|a 3|a 4";
    QTest::newRow("a minute counts from the last said") << "a@0 a@59 a@61 a@100 a@121"
                                                        << "a 1|a 3 (1 more like it in the last 61 s)|a 5 (1 more like it in the last 60 s)";
    QTest::newRow("reset: said at once") << "a@0 a@1 !a@2 a@3" << "a 1|a 4";
}

void tst_Log::limited()
{
    QFETCH(QString, calls);
    QFETCH(QString, said);
    std::ostringstream out;
    control::Log log(out, "test");
    int n = 0;
    for (const QString &call : calls.split(' ')) {
        ++n;
        const QString kind = call.section('@', 0, 0);
        const long long at = call.section('@', 1).toLongLong() * 1000000000LL;
        if (kind.startsWith('!'))
            log.reset(kind.mid(1).toStdString());
        else
            log.limited(kind.toStdString(), control::Priority::Warning, QString("%1 %2").arg(kind).arg(n).toStdString(), at);
    }
    QString expected;
    for (const QString &line : said.split('|'))
        expected += "test: " + line + "\n";
    QCOMPARE(QString::fromStdString(out.str()), expected);
}

namespace {

// JOURNAL_STREAM naming this process's standard error: a Log then writes
// each line's priority.
QByteArray journalStream()
{
    struct stat st;
    if (fstat(2, &st) != 0)
        return QByteArray();
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino));
}

} // namespace

void tst_Log::relayLimited_data()
{
    QTest::addColumn<QStringList>("batches");  // "SECONDS MESSAGES", '/' for a new line in MESSAGES
    QTest::addColumn<QString>("said");         // the lines with their priorities, '|' between them

    // Relayed at Warning unless a line says otherwise.
    QTest::newRow("the program's own name not twice") << QStringList{"0 test: x: failed/"} << "<4>x: failed";
    QTest::newRow("another's name kept") << QStringList{"0 other: x/"} << "<4>other: x";
    QTest::newRow("lines of a batch as one") << QStringList{"0 test: a/test: b/"} << "<4>a; b";
    QTest::newRow("a flood once a minute") << QStringList{"0 test: a/", "1 test: a/", "2 test: a/", "61 test: a/"}
                                           << "<4>a|<4>a (2 more like it in the last 61 s)";
    QTest::newRow("nothing to say: not counted") << QStringList{"0 test: a/", "1 ", "61 test: a/"} << "<4>a|<4>a";
    QTest::newRow("a line's own priority") << QStringList{"0 <6>test: nothing remembered/"}
                                           << "<6>nothing remembered";
    QTest::newRow("the most severe of a batch") << QStringList{"0 <6>test: a/<3>test: b/"} << "<3>a; b";
    QTest::newRow("an unmarked line at the relay's") << QStringList{"0 <6>test: a/test: b/"} << "<4>a; b";
    QTest::newRow("a priority out of range is text") << QStringList{"0 <9>test: a/"} << "<4><9>test: a";
    QTest::newRow("a mark alone says nothing") << QStringList{"0 <3>/"} << "";
}

void tst_Log::relayLimited()
{
    QFETCH(QStringList, batches);
    QFETCH(QString, said);
    qputenv("JOURNAL_STREAM", journalStream());
    std::ostringstream out;
    control::Log log(out, "test");
    qunsetenv("JOURNAL_STREAM");
    for (const QString &batch : batches)
        log.relayLimited("k", control::Priority::Warning, batch.section(' ', 1).replace('/', '\n').toStdString(),
                         batch.section(' ', 0, 0).toLongLong() * 1000000000LL);
    QString expected;
    for (const QString &line : said.split('|', Qt::SkipEmptyParts))
        expected += line.left(3) + "test: " + line.mid(3) + "\n";
    QCOMPARE(QString::fromStdString(out.str()), expected);
}

void tst_Log::journalPrefix_data()
{
    QTest::addColumn<QString>("stream");  // JOURNAL_STREAM; "stderr": standard error's own
    QTest::addColumn<QString>("line");

    QTest::newRow("on the journal's stream") << "stderr" << "<4>test: w";
    QTest::newRow("redirected elsewhere since") << "1:1" << "test: w";
    QTest::newRow("not under systemd") << "" << "test: w";
    QTest::newRow("garbage") << "journal" << "test: w";
}

void tst_Log::journalPrefix()
{
    QFETCH(QString, stream);
    QFETCH(QString, line);
    const QByteArray value = stream == "stderr" ? journalStream() : stream.toUtf8();
    if (stream.isEmpty())
        qunsetenv("JOURNAL_STREAM");
    else
        qputenv("JOURNAL_STREAM", value);
    std::ostringstream out;
    control::Log log(out, "test");
    log.warning("w");
    log.debug("not said without -v");
    qunsetenv("JOURNAL_STREAM");
    QCOMPARE(QString::fromStdString(out.str()), line + "\n");
}

QTEST_APPLESS_MAIN(tst_Log)
#include "tst_log.moc"
