#include "control.h"

#include <vector>

#include "ctl.h"

namespace mqtt {

int applyCommand(const Command &command, const std::string &place, const ctl::Environment &env)
{
    std::vector<std::string> args{"brightness-ctl"};
    switch (command.action) {
    case Action::On: args.insert(args.end(), {"restore"}); break;
    case Action::Off: args.insert(args.end(), {"set", "0%"}); break;
    case Action::Set: args.insert(args.end(), {"set", std::to_string(command.level) + "%"}); break;
    }
    if (!place.empty())
        args.insert(args.end(), {"--device", place});
    if (command.fadeMs > 0)
        args.insert(args.end(), {"--fade", std::to_string(command.fadeMs)});
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return ctl::run(static_cast<int>(args.size()), argv.data(), env);
}

PanelState stateOf(const ctl::Entry *entry)
{
    PanelState s;
    if (!entry)
        return s;
    s.known = true;
    s.on = entry->level > 0;
    s.brightness = entry->level;
    s.remembered = entry->level;
    return s;
}

} // namespace mqtt
