#include "mqtt/reach.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace mqtt {

// getaddrinfo waits as long as the resolver's timeouts say, so it runs on a
// thread of its own that says through an eventfd when it is done.
struct Reach::Lookup {
    std::string host, service;
    int event = -1;
    int error = 0;
    int savedErrno = 0;
    addrinfo *result = nullptr;
    ~Lookup()
    {
        if (result)
            freeaddrinfo(result);
        if (event >= 0)
            close(event);
    }
    void run()
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG;
        error = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
        savedErrno = errno;
        const std::uint64_t one = 1;
        // The only way to tell the loop; nothing to do if it fails.
        if (write(event, &one, sizeof one) < 0)
            return;
    }
};

Reach::~Reach()
{
    cancel();
}

void Reach::dropAttempt()
{
    sd_event_source_disable_unref(source);
    source = nullptr;
    sd_event_source_disable_unref(timeout);
    timeout = nullptr;
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void Reach::cancel()
{
    dropAttempt();
    sd_event_source_disable_unref(resolved);
    resolved = nullptr;
    lookup.reset();
    if (addresses)
        freeaddrinfo(addresses);
    addresses = current = nullptr;
    done = nullptr;
}

void Reach::start(sd_event *eventLoop, const std::string &host, int port, std::uint64_t attempt, Done whenDone)
{
    cancel();
    loop = eventLoop;
    done = std::move(whenDone);
    attemptUs = attempt;
    failure.clear();
    auto l = std::make_shared<Lookup>();
    l->host = host;
    l->service = std::to_string(port);
    l->event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int r = l->event < 0 ? -errno : sd_event_add_io(loop, &resolved, l->event, EPOLLIN, onResolved, this);
    if (r >= 0) {
        try {
            std::thread([l] { l->run(); }).detach();
            lookup = l;
            return;
        } catch (const std::system_error &e) {
            r = -e.code().value();
        }
    }
    sd_event_source_disable_unref(resolved);
    resolved = nullptr;
    failure = std::string("cannot resolve the name: ") + std::strerror(-r);
    current = nullptr;
    next();
}

int Reach::onResolved(sd_event_source *, int, unsigned, void *data)
{
    Reach *self = static_cast<Reach *>(data);
    std::shared_ptr<Lookup> l = std::move(self->lookup);
    self->resolved = sd_event_source_disable_unref(self->resolved);
    if (l->error != 0)
        self->failure = l->error == EAI_SYSTEM ? std::strerror(l->savedErrno) : gai_strerror(l->error);
    self->addresses = l->result;
    l->result = nullptr;
    self->current = nullptr;
    self->next();
    return 0;
}

void Reach::next()
{
    dropAttempt();
    for (current = current ? current->ai_next : addresses; current; current = current->ai_next) {
        fd = socket(current->ai_family, current->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, current->ai_protocol);
        if (fd < 0) {
            failure = std::strerror(errno);
            continue;
        }
        if (connect(fd, current->ai_addr, current->ai_addrlen) == 0 || errno == EINPROGRESS) {
            if (sd_event_add_io(loop, &source, fd, EPOLLOUT, onWritable, this) >= 0
                && sd_event_add_time_relative(loop, &timeout, CLOCK_MONOTONIC, attemptUs, 0, onTimeout, this) >= 0)
                return;
            failure = "cannot watch the connection";
        } else {
            failure = std::strerror(errno);
        }
        dropAttempt();
    }
    // Said from the loop, as every other outcome.
    if (sd_event_add_defer(loop, &source, onFailed, this) < 0)
        finish(failure);
}

int Reach::onWritable(sd_event_source *, int fd, unsigned, void *data)
{
    Reach *self = static_cast<Reach *>(data);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0)
        error = errno;
    if (error == 0) {
        char address[NI_MAXHOST] = "";
        getnameinfo(self->current->ai_addr, self->current->ai_addrlen, address, sizeof address, nullptr, 0,
                    NI_NUMERICHOST);
        self->finish(std::string(), address);
        return 0;
    }
    self->failure = std::strerror(error);
    self->next();
    return 0;
}

int Reach::onTimeout(sd_event_source *, std::uint64_t, void *data)
{
    // Its packets dropped (a firewall, an address not in use): the next.
    Reach *self = static_cast<Reach *>(data);
    self->failure = "no answer within " + std::to_string(self->attemptUs / 1000000) + " s";
    self->next();
    return 0;
}

int Reach::onFailed(sd_event_source *, void *data)
{
    Reach *self = static_cast<Reach *>(data);
    self->finish(self->failure.empty() ? "no address" : self->failure);
    return 0;
}

void Reach::finish(const std::string &why, const std::string &address)
{
    Done call = std::move(done);
    cancel();
    if (call)
        call(why, address);
}

} // namespace mqtt
