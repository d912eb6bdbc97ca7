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
    // "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:0483:5750.0001". Each
    // device on the way gets its uevent and its subsystem, told by the name
    // the kernel gives it (see deviceKind).
    bool stagePlace(int node, const QString &devicePath, const char *hidId = "0003:00000483:00005750")
    {
        const QString device = root.filePath("devices/" + devicePath);
        const QString link = root.filePath(QString("class/hidraw/hidraw%1").arg(node));
        if (!QDir().mkpath(device) || !QDir().mkpath(link))
            return false;
        QFile::remove(link + "/device");
        if (!QFile::link(device, link + "/device"))
            return false;
        const QStringList parts = devicePath.split('/');
        QString dir = root.filePath("devices");
        for (int i = 0; i < parts.size(); ++i) {
            dir += '/' + parts[i];
            const QStringList kind = deviceKind(parts, i);
            if (kind.isEmpty())
                continue;
            QByteArray uevent = kind.size() > 1 ? "DEVTYPE=" + kind[1].toUtf8() + '\n' : QByteArray();
            if (i == parts.size() - 1)
                uevent = QByteArray("DRIVER=hid-generic\nHID_ID=") + hidId + "\nHID_NAME=test device\n";
            if (!writeFile(dir + "/uevent", uevent))
                return false;
            const QString bus = root.filePath("bus/" + kind[0]);
            if (!kind[0].isEmpty() && !QFile::exists(dir + "/subsystem")
                && (!QDir().mkpath(bus) || !QFile::link(bus, dir + "/subsystem")))
                return false;
        }
        return true;
    }
    // What the kernel makes of the part of a device path: empty when it is
    // no device, else the subsystem (empty for none) and the device type.
    static QStringList deviceKind(const QStringList &parts, int i)
    {
        static const QList<QPair<QRegularExpression, QStringList>> kinds = {
            {QRegularExpression("^usb\\d+$"), {"usb", "usb_device"}},
            {QRegularExpression("^\\d+-\\d+(\\.\\d+)*$"), {"usb", "usb_device"}},
            {QRegularExpression("^\\d+-\\d+(\\.\\d+)*:\\d+\\.\\d+$"), {"usb", "usb_interface"}},
            {QRegularExpression("^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]$"), {"pci"}},
            {QRegularExpression("^[0-9A-F]{4}:[0-9A-F]{4}:[0-9A-F]{4}\\.[0-9A-F]{4}$"), {"hid"}},
            {QRegularExpression("^pci[0-9a-f]{4}:[0-9a-f]{2}$"), {""}},
        };
        for (const auto &k : kinds)
            if (k.first.match(parts[i]).hasMatch())
                return k.second;
        // platform/ itself and virtual/misc/ are no devices; what lies
        // below them is on their bus.
        if (i == 0)
            return parts[0] == "platform" ? QStringList{""} : QStringList();
        if (parts[0] == "virtual")
            return i == 1 ? QStringList() : QStringList{parts[1]};
        return {parts[0] == "platform" ? "platform" : ""};
    }
    std::string stateDir() const { return QFile::encodeName(state.path()).toStdString(); }
    QString recordPath() const { return state.filePath("levels"); }
    QByteArray record() const
    {
        QFile f(recordPath());
        return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool setRecord(const QByteArray &text) const { return writeFile(recordPath(), text); }
    static bool writeFile(const QString &path, const QByteArray &text)
    {
        QFile f(path);
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
