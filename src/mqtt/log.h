#ifndef MQTT_LOG_H
#define MQTT_LOG_H

// The program's messages on standard error (the journal under systemd),
// each prefixed with its name; repeated troubles are told once per kind.

#include <iostream>
#include <set>
#include <string>

namespace mqtt {

class Log
{
public:
    explicit Log(std::ostream &err) : err(err) {}
    void say(const std::string &text) { err << "brightness-mqtt: " << text << std::endl; }
    // True when it was said now, false when this kind was said before.
    bool once(const std::string &kind, const std::string &text)
    {
        if (!told.insert(kind).second)
            return false;
        say(text);
        return true;
    }
    // The next trouble of the kinds beginning so is told again.
    void forget(const std::string &prefix)
    {
        for (auto it = told.lower_bound(prefix); it != told.end() && it->compare(0, prefix.size(), prefix) == 0;)
            it = told.erase(it);
    }
    // Forwards the control library's messages under this program's name.
    void relay(const std::string &messages);

private:
    std::ostream &err;
    std::set<std::string> told;
};

} // namespace mqtt

#endif
