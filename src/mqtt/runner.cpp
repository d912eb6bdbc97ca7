#include "runner.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include <sys/eventfd.h>
#include <unistd.h>

#include "clock.h"
#include "control.h"

namespace mqtt {

struct Runner::Task : ctl::Clock {
    Task(Runner *owner, const std::string &place, const Command &command)
        : owner(owner), place(place), command(command)
    {
    }
    long long now() override
    {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return t.tv_sec * 1000000000LL + t.tv_nsec;
    }
    // The fade's pause between writes: by now the displays are claimed, so
    // a newer command may go ahead. Cut short once, when one has written
    // to a display of this command.
    void sleepUntil(long long when) override
    {
        std::unique_lock<std::mutex> guard(owner->lock);
        if (!fading) {
            fading = true;
            owner->notify();
        }
        const auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(when));
        wake.wait_until(guard, deadline, [this] { return superseded; });
        superseded = false;
    }
    bool coveredBy(const Task &newer) const { return newer.place.empty() || newer.place == place; }

    Runner *owner;
    const std::string place;
    const Command command;
    std::ostringstream messages;
    std::thread thread;
    std::condition_variable wake;
    // Guarded by owner->lock.
    bool fading = false, done = false, announced = false, superseded = false;
};

Runner::Runner(const ctl::Environment &env, Log &log)
    : env(env), log(log), eventFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

Runner::~Runner()
{
    for (auto &task : running)
        task->thread.join();
    if (eventFd >= 0)
        close(eventFd);
}

bool Runner::ready(std::string *why) const
{
    if (eventFd < 0)
        *why = std::string("eventfd: ") + std::strerror(errno);
    return eventFd >= 0;
}

void Runner::notify() const
{
    const uint64_t one = 1;
    // A full counter is still readable: nothing is lost.
    if (write(eventFd, &one, sizeof one) < 0 && errno != EAGAIN)
        std::abort();
}

void Runner::submit(const std::string &place, const Command &command)
{
    for (auto it = waiting.begin(); it != waiting.end();)
        it = place.empty() || it->first == place ? waiting.erase(it) : it + 1;
    waiting.emplace_back(place, command);
    service();
}

bool Runner::busy() const
{
    return !running.empty() || !waiting.empty();
}

void Runner::service()
{
    uint64_t count;
    if (read(eventFd, &count, sizeof count) < 0 && errno != EAGAIN)
        std::abort();
    std::unique_lock<std::mutex> guard(lock);
    // A command that has written (it ended, or began to fade) stops the
    // older fades it covers at their next step.
    for (auto newer = running.begin(); newer != running.end(); ++newer) {
        if ((*newer)->announced || !((*newer)->fading || (*newer)->done))
            continue;
        (*newer)->announced = true;
        for (auto older = running.begin(); older != newer; ++older)
            if ((*older)->coveredBy(**newer)) {
                (*older)->superseded = true;
                (*older)->wake.notify_all();
            }
    }
    for (auto it = running.begin(); it != running.end();) {
        if (!(*it)->done) {
            ++it;
            continue;
        }
        guard.unlock();
        (*it)->thread.join();
        log.relay((*it)->messages.str());
        guard.lock();
        it = running.erase(it);
    }
    bool allFading = true;
    for (const auto &task : running)
        allFading = allFading && task->fading;
    if (allFading && !waiting.empty()) {
        guard.unlock();
        start();
    }
}

void Runner::start()
{
    auto task = std::make_unique<Task>(this, waiting.front().first, waiting.front().second);
    waiting.pop_front();
    Task *t = task.get();
    {
        std::lock_guard<std::mutex> guard(lock);
        running.push_back(std::move(task));
    }
    ctl::Environment taskEnv = env;
    taskEnv.err = &t->messages;
    taskEnv.out = &t->messages;
    taskEnv.clock = t;
    t->thread = std::thread([this, t, taskEnv] {
        applyCommand(t->command, t->place, taskEnv);
        std::lock_guard<std::mutex> guard(lock);
        t->done = true;
        notify();
    });
}

} // namespace mqtt
