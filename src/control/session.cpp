#include "session.h"

#include <ostream>

#include <sys/stat.h>
#include <unistd.h>

namespace ctl {

namespace {

// A file at the record's name, whatever it holds, gives way to the new
// record's rename, and so does an empty directory, removed here. A link or
// anything else was put there by someone and stays.
bool replaceable(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode) || (S_ISDIR(st.st_mode) && rmdir(path.c_str()) == 0);
}

} // namespace

Session::Session(const Environment &env)
    : env(env), store(env.stateDir)
{
}

bool Session::open(bool fresh)
{
    std::string why;
    if (broken)
        return false;
    if (!store.lock(&why)) {
        broken = true;
        problem = why;
        return false;
    }
    if (!store.read(&record, &why)) {
        if (!fresh || !replaceable(store.file())) {
            store.unlock();
            broken = true;
            problem = why;
            return false;
        }
        record = Record();
        replacing = why;
    }
    opened = true;
    return true;
}

std::optional<Entry> Session::find(const Display &d) const
{
    const Entry *e = opened && !d.place.empty() ? findEntry(record, d.place, d.id.vendor, d.id.product) : nullptr;
    return e ? std::optional<Entry>(*e) : std::nullopt;
}

void Session::put(const Entry &e)
{
    if (!opened)
        return;
    putEntry(&record, e);
    dirty = true;
}

void Session::rewrite()
{
    dirty = opened;
}

void Session::close(bool durable)
{
    if (!opened)
        return;
    std::string why;
    if (dirty && !store.write(record, durable, &why)) {
        broken = true;
        problem = why;
    } else if (dirty && !replacing.empty()) {
        say(env) << replacing << "; replaced by a new record\n";
        replacing.clear();
    }
    dirty = false;
    opened = false;
    store.unlock();
}

void Session::complain()
{
    if (broken && !problem.empty() && !complained) {
        complained = true;
        say(env) << "level set but not remembered: " << problem << '\n';
    }
}

unsigned long nextSerial(const std::optional<Entry> &e)
{
    return e ? (e->serial + 1) & 0xFFFFFFFFul : 1;
}

} // namespace ctl
