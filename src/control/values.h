#ifndef CONTROL_VALUES_H
#define CONTROL_VALUES_H

// The texts brightness-ctl reads and writes: brightness values from the
// command line and the record of remembered levels. Pure functions, no I/O,
// so that each can be checked against any input.

#include <string>
#include <vector>

#include "hid/sysfs.h"

namespace control {

// A brightness value from the command line.
//   absolute: "N" (step 0 to 10, N x 10 percent) or "P%" (0 to 100 percent)
//   relative: "+N", "N+", "N-", "+P%", "P%+", "P%-"; a step is 10 percent
struct Value {
    bool relative = false;
    bool percent = false;  // amount in percent, else in steps of 10 percent
    // absolute: 0 to 10 steps or 0 to 100 percent;
    // relative: -10 to 10 steps or -100 to 100 percent
    int amount = 0;
};

// False for anything outside the grammar above: blanks, other signs, other
// bases, a leading '-' (it reads as an option), amounts out of range.
bool parseValue(const std::string &text, Value *value);

// The canonical text of a value; parseValue gives the same value back.
std::string formatValue(const Value &value);

// The level in percent a value asks for. An absolute value is taken as it is,
// even below the floor; a relative one starts from current and ends within
// floor to 100. current and floor outside 0 to 100 are taken as the nearer end.
int targetLevel(const Value &value, int current, int floor);

// The floor for relative steps and restores: "P%", P from 0 to 100.
bool parseFloor(const std::string &text, int *floor);

// What a display shows besides its remembered level.
const int shownLit = -1;  // the remembered level itself
const int shownOff = 0;

// The record of the level each display was last set to.
struct Entry {
    std::string place;      // the display's place on the USB bus, see validPlace
    unsigned short vendor;
    unsigned short product;
    // The remembered level, 1 to 100 percent: the one a display that is
    // turned off or dimmed comes back to; 0: nothing remembered.
    int level;
    // Bumped by every request that writes to the display; a fade in
    // progress stops when it no longer sees its own.
    unsigned long serial;   // 0 to 4294967295
    // shownLit, shownOff, or 1 to 100: dimmed to that level (by idle).
    int shown = shownLit;
    // shownOff: brightness-idle turned it off, rather than a person or a
    // script; only then may idle light it again.
    bool byIdle = false;
};

// The level the display shows now, as far as the record knows.
int shownLevel(const Entry &e);

struct Record {
    std::vector<Entry> entries;  // one per place and identity, sorted by them
};

// The record file's text: '#' comment lines, blank lines and one line per
// display, "PLACE VVVV:PPPP LEVEL SERIAL STATE" (hex identity, decimal
// numbers, fields separated by blanks); STATE is "on", "off" (by a person
// or a script), "off:idle" (by brightness-idle) or "dim:N" (by
// brightness-idle), and a line without it (as written before there was one)
// is "on". A LEVEL of 0 is nothing remembered; with "on", as earlier
// versions wrote after "set 0", it reads as "off". Who darkened a display is
// a part of STATE rather than a field of its own: it means something only
// while the display is dark, and a line keeps its five fields. A later line
// for the same place and identity replaces an earlier one. False, with
// *record untouched, when any line is malformed.
bool parseRecord(const std::string &text, Record *record);

// The text parseRecord reads back to the same entries; entries with an
// invalid place or a level outside 0 to 100 are left out.
std::string formatRecord(const Record &record);

// The entry of a display, or null.
const Entry *findEntry(const Record &record, const std::string &place,
                       unsigned short vendor, unsigned short product);

// Sets an entry's level and serial, adding the entry when it is new.
void putEntry(Record *record, const Entry &entry);

void eraseEntry(Record *record, const std::string &place, unsigned short vendor, unsigned short product);

} // namespace control

#endif
