#ifndef CTLRUN_H
#define CTLRUN_H

// Running brightness-ctl in-process against the linked simulated display,
// with a sysfs tree and a state directory of the test's own.

#include <QByteArray>
#include <QDir>
#include <QRegularExpression>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <sstream>
#include <vector>

#include <unistd.h>

#include "clock.h"
#include "commands.h"
#include "ctl.h"
#include "displays.h"
#include "status.h"
#include "values.h"

struct CtlResult {
    int status;
    QString out;
    QString err;
};

// A sysfs root, empty unless nodes are staged: then only the kernel's
// answer to the identity request names a node. With it, an empty state
// directory.
class StagedSysfs
{
public:
    // The node's device as a link into devices/, as the kernel lays it out:
    // devicePath is the HID device's path under devices/, e.g.
    // "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:0483:5750.0001".
    // The controller above usbN is given the subsystem pci.
    bool stagePlace(int node, const QString &devicePath, const char *hidId = "0003:00000483:00005750")
    {
        const QString device = root.filePath("devices/" + devicePath);
        const QString link = root.filePath(QString("class/hidraw/hidraw%1").arg(node));
        if (!QDir().mkpath(device) || !QDir().mkpath(link) || !QDir().mkpath(root.filePath("bus/pci")))
            return false;
        QFile::remove(link + "/device");
        if (!QFile::link(device, link + "/device"))
            return false;
        const int hub = devicePath.indexOf(QRegularExpression("/usb\\d+/"));
        if (hub > 0) {
            const QString subsystem = root.filePath("devices/" + devicePath.left(hub) + "/subsystem");
            if (!QFile::exists(subsystem) && !QFile::link(root.filePath("bus/pci"), subsystem))
                return false;
        }
        QFile f(device + "/uevent");
        const QByteArray text = QByteArray("DRIVER=hid-generic\nHID_ID=") + hidId + "\nHID_NAME=test device\n";
        return f.open(QFile::WriteOnly | QFile::Truncate) && f.write(text) == text.size();
    }
    std::string stateDir() const { return QFile::encodeName(state.path()).toStdString(); }
    QString recordPath() const { return state.filePath("levels"); }
    QByteArray record() const
    {
        QFile f(recordPath());
        return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool setRecord(const QByteArray &text) const
    {
        QFile f(recordPath());
        return f.open(QFile::WriteOnly | QFile::Truncate) && f.write(text) == text.size();
    }

    // Writes class/hidraw/hidrawN/device/uevent as the kernel does.
    bool stage(int node, const QByteArray &uevent)
    {
        const QString dir = root.filePath(QString("class/hidraw/hidraw%1/device").arg(node));
        if (!QDir().mkpath(dir))
            return false;
        QFile f(dir + "/uevent");
        return f.open(QFile::WriteOnly | QFile::Truncate) && f.write(uevent) == uevent.size();
    }
    bool stageId(int node, const char *hidId)
    {
        return stage(node, QByteArray("DRIVER=hid-generic\nHID_ID=") + hidId
                               + "\nHID_NAME=test device\nMODALIAS=hid:b0003\n");
    }
    std::string path() const { return QFile::encodeName(root.path()).toStdString(); }

private:
    QTemporaryDir root;
    QTemporaryDir state;
};

// Time that passes only when the program sleeps; each sleep can run a
// test's action first, as if it happened while the program waited.
class FakeClock : public ctl::Clock
{
public:
    long long now() override { return time; }
    void sleepUntil(long long when) override
    {
        sleeps.push_back(when);
        if (during)
            during(int(sleeps.size()));
        time = std::max(time, when);
    }
    long long time = 1000000000LL;
    std::vector<long long> sleeps;
    std::function<void(int)> during;  // given the sleep's number, from 1
};

struct CtlStreams {
    std::ostringstream out, err;
    ctl::Environment env(const StagedSysfs &sysfs, ctl::Clock *clock = nullptr)
    {
        return {sysfs.path(), sysfs.stateDir(), &out, &err, clock};
    }
    QString outText() const { return QString::fromStdString(out.str()); }
    QString errText() const { return QString::fromStdString(err.str()); }
};

inline CtlResult runCtl(const QStringList &args, const StagedSysfs &sysfs, ctl::Clock *clock = nullptr)
{
    std::vector<QByteArray> storage{QByteArray("brightness-ctl")};
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    CtlStreams streams;
    const int status = ctl::run(int(storage.size()), argv.data(), streams.env(sysfs, clock));
    return {status, streams.outText(), streams.errText()};
}

#endif
