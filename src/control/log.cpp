#include "control/log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include <sys/stat.h>

namespace control {

namespace {

// systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it connected;
// a program whose standard error was redirected elsewhere since must not
// put prefixes into a file.
bool stderrIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(2, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

} // namespace

Log::Log(std::ostream &err, const std::string &program)
    : err(err), program(program), journal(stderrIsJournal())
{
}

void Log::say(Priority priority, const std::string &text)
{
    if (journal)
        err << '<' << static_cast<int>(priority) << '>';
    err << program << ": " << text << std::endl;
}

void Log::debug(const std::string &text)
{
    if (verbose)
        say(Priority::Debug, text);
}

void Log::limited(const std::string &kind, Priority priority, const std::string &text, long long now)
{
    auto it = kinds.find(kind);
    if (it == kinds.end()) {
        if (kinds.size() >= maxKinds)
            kinds.erase(std::min_element(kinds.begin(), kinds.end(), [](const auto &a, const auto &b) {
                return a.second.age < b.second.age;
            }));
        say(priority, text);
        kinds[kind] = Kind{now, 0, ++ages};
        return;
    }
    Kind &k = it->second;
    if (now - k.lastSaid < intervalNs) {
        ++k.held;
        return;
    }
    say(priority, k.held ? text + " (" + std::to_string(k.held) + " more like it in the last "
                               + std::to_string((now - k.lastSaid) / 1000000000LL) + " s)"
                         : text);
    k = Kind{now, 0, ++ages};
}

void Log::reset(const std::string &kind)
{
    kinds.erase(kind);
}

std::string Log::ownLine(std::string line, Priority *priority) const
{
    if (line.size() >= 3 && line[0] == '<' && line[1] >= '0' && line[1] <= '7' && line[2] == '>') {
        *priority = static_cast<Priority>(line[1] - '0');
        line.erase(0, 3);
    }
    const std::string own = program + ": ";
    return line.compare(0, own.size(), own) == 0 ? line.substr(own.size()) : line;
}

void Log::relay(Priority priority, const std::string &messages)
{
    std::istringstream lines(messages);
    for (std::string line; std::getline(lines, line);) {
        Priority p = priority;
        const std::string text = ownLine(line, &p);
        if (!text.empty())
            say(p, text);
    }
}

void Log::relayLimited(const std::string &kind, Priority priority, const std::string &messages, long long now)
{
    std::istringstream lines(messages);
    std::string text;
    Priority worst = Priority::Debug;
    for (std::string line; std::getline(lines, line);) {
        Priority p = priority;
        const std::string own = ownLine(line, &p);
        if (own.empty())
            continue;
        worst = std::min(worst, p);
        text += (text.empty() ? "" : "; ") + own;
    }
    if (!text.empty())
        limited(kind, worst, text, now);
}

} // namespace control
