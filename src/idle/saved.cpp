#include "idle/saved.h"

#include "control/store.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace idle {

namespace {

const char *const fileName = "idle-settings";
const char *const header = "# brightness-idle: values set over the bus, over the command line's.\n"
                           "# Delete this file, or start once with --reset-settings, to go back to them.\n";

std::string failed(const std::string &what, const std::string &path, int err)
{
    return what + " " + path + ": " + std::strerror(err);
}

} // namespace

SavedSettings::SavedSettings(const std::string &stateDir, const Settings &commandLine)
    : file(stateDir + "/" + fileName), commandLine(commandLine)
{
}

std::string SavedSettings::format(const Settings &now, const Settings &given)
{
    std::string text;
    for (const char *name : writableNumbers)
        if (numberOf(now, name) != numberOf(given, name))
            text += std::string(name) + "=" + std::to_string(numberOf(now, name)) + "\n";
    return text.empty() ? text : header + text;
}

Settings SavedSettings::parse(const std::string &text, const Settings &given, std::vector<std::string> *notes)
{
    Settings s = given;
    std::istringstream lines(text);
    int n = 0;
    for (std::string line; std::getline(lines, line);) {
        ++n;
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t eq = line.find('=');
        const std::string name = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
        const bool digits =
            !value.empty() && value.size() <= 9 && value.find_first_not_of("0123456789") == std::string::npos;
        Settings next = s;
        std::string why;
        bool ok = false;
        if (!digits)
            why = "not a number";
        else if (!applyNumber(&next, name, unsigned(std::stoul(value))))
            why = "not a setting";
        else
            ok = validSettings(next, &why);
        if (ok)
            s = next;
        else
            notes->push_back("line " + std::to_string(n) + " '" + line + "': " + why + "; left out");
    }
    return s;
}

Settings SavedSettings::load(std::vector<std::string> *notes) const
{
    std::ifstream in(file);
    if (!in) {
        if (errno != ENOENT)
            notes->push_back(failed("cannot read", file, errno) + "; the command line's settings hold");
        return commandLine;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<std::string> lines;
    const Settings s = parse(text.str(), commandLine, &lines);
    for (const std::string &l : lines)
        notes->push_back(file + ", " + l);
    return s;
}

bool SavedSettings::save(const Settings &now, std::string *why) const
{
    const std::string text = format(now, commandLine);
    if (text.empty())
        return reset(why);
    // Readable by everyone, whoever wrote it last, whatever the umask.
    return control::replaceSmallFile(file, text, why);
}

bool SavedSettings::reset(std::string *why) const
{
    if (unlink(file.c_str()) == 0 || errno == ENOENT)
        return true;
    *why = failed("cannot remove", file, errno);
    return false;
}

} // namespace idle
