#ifndef CONTROL_CMDLINE_H
#define CONTROL_CMDLINE_H

// The command-line layer the three programs share: getopt_long over a copy
// of the arguments, and the parsers of the values their options take.

#include <getopt.h>

#include <functional>
#include <string>
#include <vector>

#include "control/displays.h"

namespace control {

// Reads options with getopt_long. Operands come back in the order given
// (RETURN_IN_ORDER), those after "--" too; problems come back as text, and
// getopt itself prints nothing. One reader at a time: getopt's state is
// global, and each reader resets it.
class OptionReader
{
public:
    // shortOptions in getopt's syntax, without a leading '-', '+' or ':'.
    OptionReader(const std::vector<std::string> &args, const char *shortOptions, const option *longOptions);

    enum Kind { End, Option, Operand, Problem };
    // The next thing on the command line. Option: its val in *val and its
    // value, if any, in value(). Operand: the word in value(). Problem: the
    // reason in value(), such as "unknown option '-x'".
    Kind next(int *val);
    const std::string &value() const { return text; }

    // Every option through take (which sets *why for a bad value), for a
    // program that takes no operands; the first problem, or "" for none.
    // Reading goes on past a problem, so that --help anywhere is seen.
    std::string readAll(const std::function<void(int val, const std::string &value, std::string *why)> &take);

    // The argument the last option or problem was read from, as given.
    const std::string &argument() const { return args[current]; }

private:
    std::string name(int val) const;

    std::vector<std::string> args;  // args[0] is a stand-in for the program's name
    std::vector<char *> argv;
    std::string shortOpts;
    const option *longOpts;
    std::size_t current = 0;
    std::size_t rest = 0;  // after "--": the next operand
    bool ended = false;
    std::string text;
};

// The one line a program writes for a command line it refuses, then where
// help is: "PROGRAM: WHY\nTry 'PROGRAM --help'.\n".
std::string usageError(const std::string &program, const std::string &why);

// A duration as an option takes it: digits, then "ms", "s", "m" or "h".
struct DurationRule {
    long long bareUnitMs;  // what a number without a unit counts; 0: a unit is needed
    long long minMs;
    long long maxMs;
    long long wholeMs;     // the value is a whole number of these (1: any)
};

// The duration in milliseconds; false for anything else or out of range.
bool parseDuration(const std::string &text, const DurationRule &rule, long long *ms);

// An absolute level, a step or a percentage as brightness-ctl takes it,
// from lowest to 100 percent.
bool parseLevel(const std::string &text, int lowest, int *percent);

// -d, --device: the selection, or false with the reason in *why.
bool parseDevice(const std::string &text, Selection *selection, std::string *why);

} // namespace control

#endif
