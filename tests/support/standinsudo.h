#ifndef STANDINSUDO_H
#define STANDINSUDO_H

// The stand-in sudo (support/simhid/sudo) first on PATH: it records each
// command line into a log of its own here and runs nothing.

#include <QByteArray>
#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testutil {

class StandInSudo
{
    QTemporaryDir dir;  // made before logPath, which lies in it

public:
    // For the programs started with environment() only.
    StandInSudo() : logPath(dir.filePath("sudo.log")) {}
    // Also for this process and its children, until the object goes.
    explicit StandInSudo(const char *sudoDir) : StandInSudo()
    {
        oldPath = qgetenv("PATH");
        installed = true;
        qputenv("PATH", QByteArray(sudoDir) + ":" + oldPath);
        qputenv("SIMSUDO_LOG", QFile::encodeName(logPath));
    }
    ~StandInSudo()
    {
        if (!installed)
            return;
        qputenv("PATH", oldPath);
        qunsetenv("SIMSUDO_LOG");
        qunsetenv("SIMSUDO_EXIT");
        qunsetenv("SIMSUDO_DELAY");
    }
    StandInSudo(const StandInSudo &) = delete;
    StandInSudo &operator=(const StandInSudo &) = delete;

    void addTo(QProcessEnvironment *env, const QString &sudoDir) const
    {
        env->insert("SIMSUDO_LOG", logPath);
        env->insert("PATH", sudoDir + ":" + env->value("PATH"));
    }
    QStringList commands() const
    {
        QFile f(logPath);
        if (!f.open(QFile::ReadOnly))
            return {};
        return QString::fromLocal8Bit(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    void clear() { QFile::remove(logPath); }

    const QString logPath;

private:
    bool installed = false;
    QByteArray oldPath;
};

} // namespace testutil

#endif
