#ifndef MQTT_REACH_H
#define MQTT_REACH_H

// Whether the broker answers, found on the loop without waiting: a TCP
// connection made and closed again. libmosquitto 2.0 sends MQTT 5's CONNECT
// properties (the Maximum Packet Size that keeps an oversized message from
// this program's memory) only from its blocking connect; called right after
// the broker answered here, that connect returns at once instead of holding
// the loop for as long as an unreachable host takes to time out.

#include <functional>
#include <string>

struct sd_event;
struct sd_event_source;
struct addrinfo;

namespace mqtt {

class Reach
{
public:
    // why: empty when the broker answered, else the reason it did not.
    using Done = std::function<void(const std::string &why)>;

    Reach() = default;
    ~Reach();
    Reach(const Reach &) = delete;
    Reach &operator=(const Reach &) = delete;

    // done is called from the loop, never from within start().
    void start(sd_event *loop, const std::string &host, int port, Done done);
    void cancel();

private:
    static int onWritable(sd_event_source *source, int fd, unsigned revents, void *self);
    static int onFailed(sd_event_source *source, void *self);
    void next();
    void dropAttempt();
    void finish(const std::string &why);

    sd_event *loop = nullptr;
    Done done;
    addrinfo *addresses = nullptr;
    addrinfo *current = nullptr;  // the address being tried
    int fd = -1;
    sd_event_source *source = nullptr;
    std::string failure;  // the last address's reason
};

} // namespace mqtt

#endif
