#ifndef TESTUTIL_H
#define TESTUTIL_H

// Helpers shared by the test executables: capturing the program's debug
// lines and standard output, and the stand-in sudo.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace testutil {

// The 38-byte brightness report a display must receive for a level in
// percent, spelled out here rather than taken from the product.
inline QByteArray brightnessReport(int level)
{
    QByteArray r(38, '\0');
    r[0] = 0x04;
    r[1] = char(0xAA);
    r[2] = 0x01;
    r[6] = char(level);
    return r;
}

struct Message {
    QtMsgType type;
    QByteArray category;
    bool hasSource;  // file, line or function set
    QString text;
};

// Collects every message of Qt's logger while alive, from any thread.
// Single instance.
class MessageCapture
{
public:
    MessageCapture() { instance() = this; previous = qInstallMessageHandler(&handler); }
    ~MessageCapture() { qInstallMessageHandler(previous); instance() = nullptr; }
    QList<Message> messages;  // read it only while no other thread logs

    QStringList debugLines() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        QStringList out;
        for (const Message &m : messages)
            if (m.type == QtDebugMsg)
                out << m.text;
        return out;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.clear();
    }

private:
    static MessageCapture *&instance()
    {
        static MessageCapture *current = nullptr;
        return current;
    }
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &text)
    {
        if (MessageCapture *self = instance()) {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->messages.append({type, QByteArray(ctx.category),
                                   ctx.file != nullptr || ctx.line != 0 || ctx.function != nullptr,
                                   text});
        }
    }
    QtMessageHandler previous = nullptr;
    // A pthread mutex rather than QMutex: ThreadSanitizer sees its locking,
    // not that of Qt's own (uninstrumented) mutex.
    mutable std::mutex mutex;
};

// Runs fn with the process's descriptor target (standard output by
// default) sent to a file; returns what was written there.
template <typename Fn>
QByteArray captureStdout(Fn fn, int target = STDOUT_FILENO)
{
    fflush(stdout);
    char name[] = "/tmp/brightness-stdout-XXXXXX";
    const int file = mkstemp(name);
    const int saved = dup(target);
    dup2(file, target);
    fn();
    fflush(stdout);
    dup2(saved, target);
    close(saved);
    close(file);
    QFile f(QString::fromLocal8Bit(name));
    f.open(QFile::ReadOnly);
    const QByteArray out = f.readAll();
    unlink(name);
    return out;
}

// Puts the stand-in sudo first on PATH for this process and its children
// and makes it record into a fresh log.
class StandInSudo
{
public:
    explicit StandInSudo(const char *sudoDir)
    {
        logPath = dir.filePath("sudo.log");
        oldPath = qgetenv("PATH");
        qputenv("PATH", QByteArray(sudoDir) + ":" + oldPath);
        qputenv("SIMSUDO_LOG", logPath.toLocal8Bit());
    }
    ~StandInSudo()
    {
        qputenv("PATH", oldPath);
        qunsetenv("SIMSUDO_LOG");
        qunsetenv("SIMSUDO_EXIT");
        qunsetenv("SIMSUDO_DELAY");
    }
    QStringList commands() const
    {
        QFile f(logPath);
        if (!f.open(QFile::ReadOnly))
            return {};
        return QString::fromLocal8Bit(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    void clear() { QFile::remove(logPath); }
    QString logPath;

private:
    QTemporaryDir dir;
    QByteArray oldPath;
};

} // namespace testutil

#endif
