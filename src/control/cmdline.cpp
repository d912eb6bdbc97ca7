#include "control/cmdline.h"

#include <algorithm>
#include <cstdlib>

#include "control/values.h"

namespace control {

OptionReader::OptionReader(const std::vector<std::string> &given, const char *shortOptions,
                           const option *longOptions)
    : args(given), shortOpts(std::string("-:") + shortOptions), longOpts(longOptions)
{
    // getopt_long may write to argv: it gets copies, never the caller's.
    args.insert(args.begin(), "-");
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    // 0 makes GNU getopt start afresh, forgetting any earlier command line.
    optind = 0;
    opterr = 0;
}

std::string OptionReader::name(int val) const
{
    for (const option *o = longOpts; o && o->name; ++o)
        if (o->val == val && !o->flag)
            return std::string("--") + o->name;
    return std::string("-") + char(val);
}

OptionReader::Kind OptionReader::next(int *val)
{
    if (ended) {
        if (rest >= args.size())
            return End;
        current = rest++;
        text = args[current];
        return Operand;
    }
    // Nothing is reordered with RETURN_IN_ORDER, and getopt moves past an
    // argument only once it is read: what this call reads starts here.
    const int before = std::max(optind, 1);
    int index = -1;
    const int c = getopt_long(int(args.size()), argv.data(), shortOpts.c_str(), longOpts, &index);
    if (c == -1) {
        ended = true;
        rest = std::size_t(optind);
        return next(val);
    }
    current = std::size_t(before);
    const std::string &arg = args[current];
    const bool isLong = arg.compare(0, 2, "--") == 0;
    switch (c) {
    case 1:
        text = optarg;
        return Operand;
    case ':':
        text = "'" + (isLong ? name(optopt) : std::string("-") + char(optopt)) + "' needs a value";
        return Problem;
    case '?':
        if (isLong && optopt != 0)
            text = "'" + name(optopt) + "' takes no value";
        else if (isLong)
            text = "unknown option '" + arg.substr(0, arg.find('=')) + "'";
        else
            text = std::string("unknown option '-") + char(optopt) + "'";
        return Problem;
    default:
        *val = c;
        text = optarg ? optarg : "";
        return Option;
    }
}

std::string OptionReader::readAll(
    const std::function<void(int val, const std::string &value, std::string *why)> &take)
{
    std::string first;
    int val = 0;
    for (Kind kind; (kind = next(&val)) != End;) {
        std::string problem;
        if (kind == Operand)
            problem = "unexpected argument '" + text + "'";
        else if (kind == Problem)
            problem = text;
        else
            take(val, text, &problem);
        if (first.empty())
            first = problem;
    }
    return first;
}

std::string usageError(const std::string &program, const std::string &why)
{
    return program + ": " + why + "\nTry '" + program + " --help'.\n";
}

bool parseDuration(const std::string &text, const DurationRule &rule, long long *ms)
{
    const std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    // Nine digits keep every unit's product far from overflowing.
    if (digits == 0 || digits > 9)
        return false;
    const std::string unit = text.substr(digits);
    long long unitMs;
    if (unit.empty())
        unitMs = rule.bareUnitMs;
    else if (unit == "ms")
        unitMs = 1;
    else if (unit == "s")
        unitMs = 1000;
    else if (unit == "m")
        unitMs = 60 * 1000;
    else if (unit == "h")
        unitMs = 3600 * 1000;
    else
        return false;
    const long long value = std::strtoll(text.substr(0, digits).c_str(), nullptr, 10) * unitMs;
    if (unitMs == 0 || value < rule.minMs || value > rule.maxMs || value % std::max(rule.wholeMs, 1LL) != 0)
        return false;
    *ms = value;
    return true;
}

bool parseLevel(const std::string &text, int lowest, int *percent)
{
    Value value;
    if (!parseValue(text, &value) || value.relative)
        return false;
    const int level = targetLevel(value, 0, 0);
    if (level < lowest)
        return false;
    *percent = level;
    return true;
}

bool parseDevice(const std::string &text, Selection *selection, std::string *why)
{
    if (parseSelection(text, selection))
        return true;
    *why = "invalid device '" + text + "': give " + searchedNodes()
        + " or a bus place as 'brightness-ctl list' shows it";
    return false;
}

} // namespace control
