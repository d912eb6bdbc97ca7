#ifndef CONTROL_SESSION_H
#define CONTROL_SESSION_H

// The record as one request sees it: opened (locked and read) around each
// group of writes, closed (written and unlocked) after them. Problems with
// the record are said once, and only when a level was set without being
// remembered.

#include <optional>
#include <string>
#include <vector>

#include "control/displays.h"
#include "control/environment.h"
#include "control/store.h"
#include "control/values.h"

namespace control {

class Session
{
public:
    // lockWaitMs: how long open() waits for the record's lock.
    explicit Session(const Environment &env, int lockWaitMs = Store::defaultLockWaitMs);

    // Locks and reads; false when the record cannot be used, and from then
    // on. fresh: the request writes absolute levels, a truth of its own, so
    // a record that cannot be read starts anew where that loses nothing else.
    // A user who may not write the record (and so not lock it) gets it read
    // once, to change levels by steps; nothing is written back.
    bool open(bool fresh);
    bool isOpen() const { return opened; }
    // The display's entry; nothing unless the record is open. One found
    // under the display's former place comes with the current place, and
    // moves there at the next put.
    std::optional<Entry> find(const Display &d);
    // Changes the entry; ignored unless the record is open.
    void put(const Entry &e);
    // Writes the record again at close, changed or not.
    void rewrite();
    // Writes the record when it changed, and unlocks. durable: see Store::write.
    void close(bool durable);
    // Says once that levels were set but not remembered, and why.
    void complain();
    // Why the record cannot be used; empty while it can.
    const std::string &why() const { return problem; }
    // The lock was there to take but not had in time.
    bool lockMissed() const { return missed; }

private:
    const Environment &env;
    Store store;
    Record record;
    const int lockWaitMs;
    std::string problem;
    std::string replacing;  // why the record on disk is being replaced
    std::vector<Entry> moving;  // found under a former place: dropped at the next put
    bool opened = false;
    bool broken = false;
    bool readOnly = false;
    bool missed = false;
    bool dirty = false;
    bool complained = false;
};

// The display's entry, under its place or its former place; null when none.
const Entry *entryOf(const Record &record, const Display &d);

// The serial that follows an entry's, or the first one.
unsigned long nextSerial(const std::optional<Entry> &e);

} // namespace control

#endif
