#ifndef MQTT_REACH_H
#define MQTT_REACH_H

// Whether the broker answers, found on the loop without waiting: the name
// resolved off the loop, then a TCP connection made and closed again, each
// address in turn with a time limit of its own. libmosquitto 2.0 sends MQTT
// 5's CONNECT properties (the Maximum Packet Size that keeps an oversized
// message from this program's memory) only from its blocking connect;
// called right after the broker answered here, that connect returns at once
// instead of holding the loop for as long as an unreachable host takes to
// time out.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct sd_event;
struct sd_event_source;
struct addrinfo;

namespace mqtt {

class Reach
{
public:
    // why: empty when the broker answered, at address (numeric), else the
    // reason it did not.
    using Done = std::function<void(const std::string &why, const std::string &address)>;

    Reach() = default;
    ~Reach();
    Reach(const Reach &) = delete;
    Reach &operator=(const Reach &) = delete;

    // done is called from the loop, never from within start(). An address
    // that has not answered within attemptUs gives way to the next.
    void start(sd_event *loop, const std::string &host, int port, std::uint64_t attemptUs, Done done);
    void cancel();
    // Under way: start() called, done not yet.
    bool active() const { return static_cast<bool>(done); }

    struct Lookup;

private:
    static int onResolved(sd_event_source *source, int fd, unsigned revents, void *self);
    static int onWritable(sd_event_source *source, int fd, unsigned revents, void *self);
    static int onTimeout(sd_event_source *source, std::uint64_t usec, void *self);
    static int onFailed(sd_event_source *source, void *self);
    void next();
    void dropAttempt();
    void finish(const std::string &why, const std::string &address = std::string());

    sd_event *loop = nullptr;
    Done done;
    std::uint64_t attemptUs = 0;
    // The name being resolved; shared with the thread that resolves it,
    // which may outlive a cancel.
    std::shared_ptr<Lookup> lookup;
    sd_event_source *resolved = nullptr;
    addrinfo *addresses = nullptr;
    addrinfo *current = nullptr;  // the address being tried
    int fd = -1;
    sd_event_source *source = nullptr;
    sd_event_source *timeout = nullptr;
    std::string failure;  // the last address's reason
};

} // namespace mqtt

#endif
