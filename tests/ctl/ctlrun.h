#ifndef CTLRUN_H
#define CTLRUN_H

// Running brightness-ctl in-process against the linked simulated display,
// with a sysfs tree and a state directory of the test's own
// (support/sysfstree.h).

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <sstream>
#include <vector>

#include "../support/fakeclock.h"
#include "../support/sysfstree.h"
#include "control/clock.h"
#include "ctl/commands.h"
#include "ctl/ctl.h"
#include "control/displays.h"
#include "control/status.h"
#include "control/values.h"

struct CtlResult {
    int status;
    QString out;
    QString err;
};

inline QString placeOf(int port)
{
    return QString::fromStdString(testutil::placeOf(port));
}

// The remembered level of the display at this port, -1 when none, -2 when
// the record does not parse.
inline int recordedLevel(const testutil::SysfsTree &sysfs, int port, const char *id = "0483:5750")
{
    control::Record r;
    if (!control::parseRecord(sysfs.record(), &r))
        return -2;
    unsigned vendor = 0, product = 0;
    std::sscanf(id, "%x:%x", &vendor, &product);
    const control::Entry *e = control::findEntry(r, testutil::placeOf(port), vendor, product);
    return e ? e->level : -1;
}

struct CtlStreams {
    std::ostringstream out, err;
    control::Environment env(const testutil::SysfsTree &sysfs, control::Clock *clock = nullptr)
    {
        return {sysfs.path(), sysfs.stateDir(), &out, &err, clock};
    }
    QString outText() const { return QString::fromStdString(out.str()); }
    QString errText() const { return QString::fromStdString(err.str()); }
};

// accessGroup: the group a refused user is advised to join.
inline CtlResult runCtl(const QStringList &args, const testutil::SysfsTree &sysfs, control::Clock *clock = nullptr,
                        const std::string &accessGroup = "plugdev")
{
    std::vector<QByteArray> storage{QByteArray("brightness-ctl")};
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    CtlStreams streams;
    control::Environment env = streams.env(sysfs, clock);
    env.accessGroup = accessGroup;
    const int status = ctl::run(int(storage.size()), argv.data(), env);
    return {status, streams.outText(), streams.errText()};
}

#endif
