#ifndef CONTROL_LOG_H
#define CONTROL_LOG_H

// The daemons' messages on standard error. Under systemd, whose journal
// reads standard error as a stream, each line starts with the journal's
// priority prefix ("<3>" and so on, as sd-daemon.h defines them); anywhere
// else it is plain text. A trouble that repeats is told at most once a
// minute per kind, with the count of those held back, and never silenced
// for good.

#include <cstddef>
#include <iosfwd>
#include <map>
#include <string>

#include "control/environment.h"

namespace control {

class Log
{
public:
    // program: the prefix of every line.
    Log(std::ostream &err, const std::string &program);

    void say(Priority priority, const std::string &text);
    void error(const std::string &text) { say(Priority::Error, text); }
    void warning(const std::string &text) { say(Priority::Warning, text); }
    void notice(const std::string &text) { say(Priority::Notice, text); }
    void info(const std::string &text) { say(Priority::Info, text); }
    // Said only with -v: why the program acted, what it watches.
    void debug(const std::string &text);

    // At most once a minute per kind (a fixed name chosen by the caller,
    // never a text from outside); the next one said after a quiet spell
    // carries the count of those held back. now: monotonic, nanoseconds.
    void limited(const std::string &kind, Priority priority, const std::string &text, long long now);
    // Starts a kind anew: its next message is said at once.
    void reset(const std::string &kind);

    // The control library's messages, one per line, each with the priority
    // its "<N>" prefix gives (Environment::priorityPrefix), else this one; a
    // line that carries the program's name already is not given it twice.
    void relay(Priority priority, const std::string &messages);
    // The same, as one message at limited()'s rate: the lines joined by "; ",
    // at the most severe of their priorities.
    void relayLimited(const std::string &kind, Priority priority, const std::string &messages, long long now);

    void setVerbose(bool on) { verbose = on; }
    bool isVerbose() const { return verbose; }
    // Whether standard error is the journal's stream, as JOURNAL_STREAM
    // names it.
    bool toJournal() const { return journal; }

    static const long long intervalNs = 60 * 1000000000LL;
    // Kinds kept; more (a bug) drops the oldest, so memory stays bounded.
    static const std::size_t maxKinds = 256;

private:
    // A line of the control library's without the program's name.
    // The line without its "<N>" prefix, which sets *priority, and without
    // the program's name.
    std::string ownLine(std::string line, Priority *priority) const;

    struct Kind {
        long long lastSaid = 0;
        long long held = 0;
        long long age = 0;
    };

    std::ostream &err;
    std::string program;
    bool journal = false;
    bool verbose = false;
    long long ages = 0;
    std::map<std::string, Kind> kinds;
};

} // namespace control

#endif
