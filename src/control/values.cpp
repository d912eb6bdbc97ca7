#include "control/values.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <tuple>

namespace control {

namespace {

// Decimal digits only; saturates at limit + 1 so that any excess is out of range.
bool parseDecimal(const std::string &text, unsigned long long limit, unsigned long long *value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long v = 0;
    for (char c : text)
        v = std::min(v * 10 + static_cast<unsigned>(c - '0'), limit + 1);
    if (v > limit)
        return false;
    *value = v;
    return true;
}

bool parseHex16(const std::string &text, unsigned short *value)
{
    if (text.size() != 4 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = static_cast<unsigned short>(std::stoul(text, nullptr, 16));
    return true;
}

// "N" or "P%": the amount and its unit, within the unit's range.
bool parseAmount(const std::string &text, Value *value)
{
    const bool percent = !text.empty() && text.back() == '%';
    unsigned long long amount;
    if (!parseDecimal(percent ? text.substr(0, text.size() - 1) : text, percent ? 100 : 10, &amount))
        return false;
    value->percent = percent;
    value->amount = static_cast<int>(amount);
    return true;
}

int clampPercent(int v)
{
    return std::max(0, std::min(100, v));
}

auto keyOf(const Entry &e)
{
    return std::tie(e.place, e.vendor, e.product);
}

bool validEntry(const Entry &e)
{
    return validPlace(e.place) && e.level >= 0 && e.level <= 100 && e.serial <= 0xFFFFFFFFul
        && e.shown >= shownLit && e.shown <= 100;
}

bool parseState(const std::string &text, int *shown, bool *byIdle)
{
    unsigned long long dim;
    *byIdle = false;
    if (text.empty() || text == "on")
        *shown = shownLit;
    else if (text == "off" || text == "off:idle") {
        *shown = shownOff;
        *byIdle = text == "off:idle";
    } else if (text.compare(0, 4, "dim:") == 0 && parseDecimal(text.substr(4), 100, &dim) && dim > 0)
        *shown = static_cast<int>(dim);
    else
        return false;
    return true;
}

std::string formatState(const Entry &e)
{
    if (e.shown == shownOff)
        return e.byIdle ? "off:idle" : "off";
    return e.shown == shownLit ? "on" : "dim:" + std::to_string(e.shown);
}

bool parseLine(const std::string &line, Entry *entry)
{
    std::istringstream fields(line);
    std::string place, id, level, serial, state, extra;
    if (!(fields >> place >> id >> level >> serial) || ((fields >> state) && (fields >> extra))
        || !parseState(state, &entry->shown, &entry->byIdle))
        return false;
    unsigned long long lv, sn;
    if (!validPlace(place) || id.size() != 9 || id[4] != ':'
        || !parseHex16(id.substr(0, 4), &entry->vendor) || !parseHex16(id.substr(5), &entry->product)
        || !parseDecimal(level, 100, &lv) || !parseDecimal(serial, 0xFFFFFFFFull, &sn))
        return false;
    entry->place = place;
    entry->level = static_cast<int>(lv);
    entry->serial = static_cast<unsigned long>(sn);
    // Earlier versions remembered "set 0" as a lit level of 0: it is off.
    if (lv == 0 && entry->shown == shownLit)
        entry->shown = shownOff;
    return true;
}

} // namespace

bool parseValue(const std::string &text, Value *value)
{
    if (text.empty())
        return false;
    Value v;
    if (text.front() == '+') {
        v.relative = true;
        if (!parseAmount(text.substr(1), &v))
            return false;
    } else if (text.back() == '+' || text.back() == '-') {
        v.relative = true;
        if (!parseAmount(text.substr(0, text.size() - 1), &v))
            return false;
        if (text.back() == '-')
            v.amount = -v.amount;
    } else if (!parseAmount(text, &v)) {
        return false;
    }
    *value = v;
    return true;
}

std::string formatValue(const Value &value)
{
    const std::string amount = std::to_string(value.amount < 0 ? -value.amount : value.amount)
        + (value.percent ? "%" : "");
    if (!value.relative)
        return amount;
    return value.amount < 0 ? amount + "-" : "+" + amount;
}

int targetLevel(const Value &value, int current, int floor)
{
    const int amount = value.percent ? value.amount : value.amount * 10;
    if (!value.relative)
        return clampPercent(amount);
    return std::max(clampPercent(floor), std::min(100, clampPercent(current) + amount));
}

bool parseFloor(const std::string &text, int *floor)
{
    Value v;
    if (text.empty() || text.back() != '%' || !parseAmount(text, &v))
        return false;
    *floor = v.amount;
    return true;
}

bool parseRecord(const std::string &text, Record *record)
{
    Record parsed;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        Entry e;
        if (!parseLine(line, &e))
            return false;
        putEntry(&parsed, e);
    }
    *record = parsed;
    return true;
}

std::string formatRecord(const Record &record)
{
    std::string text = "# brightness-ctl: the level each display was last set to, not read back from it\n"
                       "# place vendor:product percent serial state\n";
    char id[16];
    for (const Entry &e : record.entries) {
        if (!validEntry(e))
            continue;
        std::snprintf(id, sizeof id, "%04x:%04x", e.vendor, e.product);
        text += e.place + ' ' + id + ' ' + std::to_string(e.level) + ' ' + std::to_string(e.serial) + ' '
            + formatState(e) + '\n';
    }
    return text;
}

int shownLevel(const Entry &e)
{
    return e.shown == shownLit ? e.level : e.shown;
}

const Entry *findEntry(const Record &record, const std::string &place, unsigned short vendor,
                       unsigned short product)
{
    for (const Entry &e : record.entries)
        if (e.place == place && e.vendor == vendor && e.product == product)
            return &e;
    return nullptr;
}

void putEntry(Record *record, const Entry &entry)
{
    auto &entries = record->entries;
    const auto at = std::lower_bound(entries.begin(), entries.end(), entry,
                                     [](const Entry &a, const Entry &b) { return keyOf(a) < keyOf(b); });
    if (at != entries.end() && keyOf(*at) == keyOf(entry))
        *at = entry;
    else
        entries.insert(at, entry);
}

void eraseEntry(Record *record, const std::string &place, unsigned short vendor, unsigned short product)
{
    auto &entries = record->entries;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const Entry &e) {
                                     return e.place == place && e.vendor == vendor && e.product == product;
                                 }),
                  entries.end());
}

} // namespace control
