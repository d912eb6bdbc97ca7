#ifndef PROGRAM_H
#define PROGRAM_H

// Running the real program against the preloaded simulated display, and a
// private X server for driving its window.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

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
        sudoLogPath = dir.filePath("sudo.log");
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
    QStringList sudoCommands() const { return linesOf(sudoLogPath, QString()); }
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
        env.insert("SIMSUDO_LOG", sudoLogPath);
        env.insert("PATH", sudoDir + ":" + env.value("PATH"));
        return env;
    }

    QString configPath, logPath, sudoLogPath;

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
};

// Xvfb on a free display number for as long as the object lives.
class Xvfb
{
public:
    bool start()
    {
        if (QStandardPaths::findExecutable("Xvfb").isEmpty())
            return false;
        for (int n = 90; n < 140; ++n) {
            if (QFile::exists(QString("/tmp/.X%1-lock").arg(n)))
                continue;
            server.start("Xvfb", {QString(":%1").arg(n), "-screen", "0", "800x600x24", "-nolisten", "tcp"});
            if (!server.waitForStarted())
                return false;
            for (int i = 0; i < 100; ++i) {
                if (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n))) {
                    display = QString(":%1").arg(n);
                    return true;
                }
                if (server.state() != QProcess::Running)
                    break;
                QThread::msleep(50);
            }
            server.kill();
            server.waitForFinished();
        }
        return false;
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
