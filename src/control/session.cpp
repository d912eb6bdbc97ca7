#include "control/session.h"

#include <ostream>

#include <sys/stat.h>
#include <unistd.h>

#include "control/access.h"

namespace control {

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

Session::Session(const Environment &env, int lockWaitMs)
    : env(env), store(env.stateDir), lockWaitMs(lockWaitMs)
{
}

bool Session::open(bool fresh)
{
    std::string why;
    if (broken)
        return false;
    if (!store.lock(&why, lockWaitMs)) {
        broken = true;
        problem = why;
        missed = !store.refused();
        const std::string advice = store.refused() ? joinAdvice(membership(env.accessGroup), env.accessGroup) : "";
        if (!advice.empty())
            problem += "; " + advice;
        // The record is replaced only whole, so it reads well unlocked.
        if (!store.refused() || !store.read(&record, &problem))
            return false;
        opened = readOnly = true;
        return true;
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

std::optional<Entry> Session::find(const Display &d)
{
    const Entry *e = opened ? entryOf(record, d) : nullptr;
    if (!e)
        return std::nullopt;
    Entry found = *e;
    if (found.place != d.place) {
        moving.push_back(found);
        found.place = d.place;
    }
    return found;
}

void Session::put(const Entry &e)
{
    if (!opened)
        return;
    for (auto m = moving.begin(); m != moving.end(); ++m)
        if (m->vendor == e.vendor && m->product == e.product && e.place != m->place) {
            eraseEntry(&record, m->place, m->vendor, m->product);
            moving.erase(m);
            break;
        }
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
    const bool writing = dirty && !readOnly;
    if (writing && !store.write(record, durable, &why)) {
        broken = true;
        problem = why;
    } else if (writing && !replacing.empty()) {
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

const Entry *entryOf(const Record &record, const Display &d)
{
    const Entry *e = d.place.empty() ? nullptr : findEntry(record, d.place, d.id.vendor, d.id.product);
    if (!e && !d.formerPlace.empty() && d.formerPlace != d.place)
        e = findEntry(record, d.formerPlace, d.id.vendor, d.id.product);
    return e;
}

unsigned long nextSerial(const std::optional<Entry> &e)
{
    return e ? (e->serial + 1) & 0xFFFFFFFFul : 1;
}

} // namespace control
