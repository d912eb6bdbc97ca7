#include <QtTest>

#include <grp.h>
#include <unistd.h>

#include "control/access.h"

// What a refused user is told: join the group, or log in again after
// joining; nothing about the group for a member.
class tst_Access : public QObject
{
    Q_OBJECT

private slots:
    void advice_data();
    void advice();
};

void tst_Access::advice_data()
{
    QTest::addColumn<QString>("group");  // "OWN": this process's group
    QTest::addColumn<QString>("said");

    const QString notIn = "this user is not in group %1: sudo adduser $USER %1, then log in again";
    QTest::newRow("a member now") << "OWN" << QString();
    QTest::newRow("not joined") << "nogroup" << notIn.arg("nogroup");
    QTest::newRow("no such group") << "no-such-group-here" << notIn.arg("no-such-group-here");
}

void tst_Access::advice()
{
    QFETCH(QString, group);
    QFETCH(QString, said);
    if (group == "OWN") {
        const struct group *own = getgrgid(getegid());
        QVERIFY(own);
        group = QString::fromLocal8Bit(own->gr_name);
    } else if (const struct group *g = getgrnam(qPrintable(group)); g && g->gr_gid == getegid()) {
        QSKIP("this process is in the group");
    }
    const control::Membership m = control::membership(group.toStdString());
    QCOMPARE(QString::fromStdString(control::joinAdvice(m, group.toStdString())), said);
    // Joined, but the login is older than that: its groups do not have it.
    control::Membership joinedLater;
    joinedLater.listed = true;
    QCOMPARE(QString::fromStdString(control::joinAdvice(joinedLater, "plugdev")),
             QString("this user joined group plugdev after this login began: log in again"));
}

QTEST_GUILESS_MAIN(tst_Access)
#include "tst_access.moc"
