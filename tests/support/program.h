#ifndef PROGRAM_H
#define PROGRAM_H

// Running the real program against the preloaded simulated display, and a
// private X server for driving its window.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include "standinsudo.h"

namespace testutil {

// The command that runs the programs of a cross build here ("qemu-arm"),
// empty in a native build.
inline QStringList emulatorCommand()
{
#ifdef BRIGHTNESS_EMULATOR
    return QString::fromUtf8(BRIGHTNESS_EMULATOR).split(' ', Qt::SkipEmptyParts);
#else
    return {};
#endif
}

// Starts a program of this build, through the emulator in a cross build.
inline void startProgram(QProcess &process, const QString &binary, const QStringList &args)
{
    QStringList command = emulatorCommand();
    if (command.isEmpty()) {
        process.start(binary, args);
        return;
    }
    const QString emulator = command.takeFirst();
    process.start(emulator, command + QStringList{binary} + args);
}

class SimulatedDisplayFiles
{
public:
    SimulatedDisplayFiles()
    {
        configPath = dir.filePath("nodes.conf");
        logPath = dir.filePath("events.log");
        setNodes({});
    }
    // Replaces the node table at once, as the preloaded library expects.
    void setNodes(const QStringList &lines)
    {
        const QString tmp = configPath + ".new";
        QFile f(tmp);
        f.open(QFile::WriteOnly | QFile::Truncate);
        f.write(lines.join('\n').toUtf8() + "\n");
        f.close();
        ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(configPath).constData());
    }
    QStringList events(const QString &kind = QString()) const { return linesOf(logPath, kind); }
    QStringList sudoCommands() const { return sudo.commands(); }
    // Level bytes of the successful 38-byte writes, in order.
    QList<int> levels() const
    {
        QList<int> out;
        for (const QString &line : events("write")) {
            const QStringList f = line.split(' ');
            if (f.size() == 6 && f[3] == "38")
                out << f[5].mid(12, 2).toInt(nullptr, 16);
        }
        return out;
    }
    QProcessEnvironment environment(const QString &sudoDir, const QString &preload) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The emulator is a program of this machine: only its guest may
        // load the target's library.
        if (emulatorCommand().isEmpty())
            env.insert("LD_PRELOAD", preload);
        else
            env.insert("QEMU_SET_ENV", "LD_PRELOAD=" + preload);
        env.insert("SIMHID_CONFIG", configPath);
        env.insert("SIMHID_LOG", logPath);
        sudo.addTo(&env, sudoDir);
        return env;
    }

    QString configPath, logPath;

private:
    static QStringList linesOf(const QString &path, const QString &kind)
    {
        QFile f(path);
        if (!f.open(QFile::ReadOnly))
            return {};
        QStringList out;
        for (const QString &line : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts))
            if (kind.isEmpty() || line.startsWith(kind + ' '))
                out << line;
        return out;
    }
    QTemporaryDir dir;
    StandInSudo sudo;
};

// Xvfb on a free display number for as long as the object lives. The
// server picks the number itself and names it once it accepts clients:
// choosing one by its lock file raced with other test runs on the machine
// and with a server of the previous test still going away.
class Xvfb
{
public:
    bool start()
    {
        if (QStandardPaths::findExecutable("Xvfb").isEmpty())
            return false;
        server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
        if (!server.waitForStarted())
            return false;
        QByteArray number;
        QElapsedTimer waited;
        waited.start();
        while (!number.contains('\n') && waited.elapsed() < 15000) {
            if (!server.waitForReadyRead(100) && server.state() != QProcess::Running)
                break;
            number += server.readAllStandardOutput();
        }
        bool ok = false;
        const int n = number.trimmed().toInt(&ok);
        if (!ok || server.state() != QProcess::Running) {
            server.kill();
            server.waitForFinished();
            return false;
        }
        display = QString(":%1").arg(n);
        return true;
    }
    ~Xvfb()
    {
        server.terminate();
        server.waitForFinished(3000);
    }
    // Runs xdotool against this server; returns its standard output.
    QString xdotool(const QStringList &args, int *exitCode = nullptr) const
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        p.setProcessEnvironment(env);
        p.start("xdotool", args);
        p.waitForFinished(15000);
        if (exitCode)
            *exitCode = p.exitCode();
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    QString display;

private:
    QProcess server;
};

} // namespace testutil

#endif
