#ifndef MQTT_RUNNER_H
#define MQTT_RUNNER_H

// Runs commands on the displays off the network thread, newest first:
// - a command for a target replaces the one still waiting for that target
//   (a group command replaces every waiting one), so a burst writes only
//   its newest level and nothing queues beyond one command per target;
// - a command starts once every running one is fading: instant ones keep
//   their order, and a fade is stopped by the record's serial as soon as a
//   newer command has written (it is woken for that at once).

#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "environment.h"
#include "log.h"
#include "payload.h"

namespace mqtt {

class Runner
{
public:
    // env: where the displays and the record are; the commands' messages
    // go to log, on the calling thread, from service().
    Runner(const ctl::Environment &env, Log &log);
    ~Runner();
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;

    bool ready(std::string *why) const;
    // place: one display's bus place, or empty for all.
    void submit(const std::string &place, const Command &command);
    // Readable when a running command has finished or begun to fade; then
    // call service().
    int fd() const { return eventFd; }
    void service();
    bool busy() const;

    struct Task;

private:
    void start();
    void notify() const;

    ctl::Environment env;
    Log &log;
    int eventFd = -1;
    mutable std::mutex lock;
    std::list<std::unique_ptr<Task>> running;  // oldest first
    std::deque<std::pair<std::string, Command>> waiting;
};

} // namespace mqtt

#endif
