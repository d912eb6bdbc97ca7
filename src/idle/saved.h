#ifndef IDLE_SAVED_H
#define IDLE_SAVED_H

// The settings changed over the bus, kept beside the record so that a
// restart, a reboot or an upgrade does not undo what Home Assistant set. The
// file holds the bus's names and numbers (seconds, percent; 0 is "never" or
// "as by day" where the property allows it), one "Name=value" a line, only
// where they differ from the command line's; it is replaced whole, as the
// record is. Deleting it, or --reset-settings, goes back to the command line.

#include <string>
#include <vector>

#include "idle/settings.h"

namespace idle {

class SavedSettings
{
public:
    SavedSettings(const std::string &stateDir, const Settings &commandLine);

    // The command line's settings with the file's values over them. A value
    // that is unknown, malformed or refused with the others is left out,
    // with a line in *notes saying so; a missing file changes nothing.
    Settings load(std::vector<std::string> *notes) const;
    // Keeps what differs from the command line; with nothing, the file goes.
    bool save(const Settings &now, std::string *why) const;
    // The file goes: the command line's settings hold.
    bool reset(std::string *why) const;
    const std::string &path() const { return file; }

    static std::string format(const Settings &now, const Settings &commandLine);
    static Settings parse(const std::string &text, const Settings &commandLine, std::vector<std::string> *notes);

private:
    std::string file;
    Settings commandLine;
};

} // namespace idle

#endif
