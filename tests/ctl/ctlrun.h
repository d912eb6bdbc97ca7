#ifndef CTLRUN_H
#define CTLRUN_H

// Running brightness-ctl in-process against the linked simulated display,
// with a sysfs tree of the test's own.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sstream>
#include <vector>

#include "ctl.h"

struct CtlResult {
    int status;
    QString out;
    QString err;
};

// A sysfs root, empty unless nodes are staged: then only the kernel's
// answer to the identity request names a node.
class StagedSysfs
{
public:
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
};

struct CtlStreams {
    std::ostringstream out, err;
    ctl::Environment env(const StagedSysfs &sysfs) { return {sysfs.path(), &out, &err}; }
    QString outText() const { return QString::fromStdString(out.str()); }
    QString errText() const { return QString::fromStdString(err.str()); }
};

inline CtlResult runCtl(const QStringList &args, const StagedSysfs &sysfs)
{
    std::vector<QByteArray> storage{QByteArray("brightness-ctl")};
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    CtlStreams streams;
    const int status = ctl::run(int(storage.size()), argv.data(), streams.env(sysfs));
    return {status, streams.outText(), streams.errText()};
}

#endif
