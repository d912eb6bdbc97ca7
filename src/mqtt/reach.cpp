#include "reach.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace mqtt {

Reach::~Reach()
{
    cancel();
}

void Reach::dropAttempt()
{
    sd_event_source_disable_unref(source);
    source = nullptr;
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void Reach::cancel()
{
    dropAttempt();
    if (addresses)
        freeaddrinfo(addresses);
    addresses = current = nullptr;
    done = nullptr;
}

void Reach::start(sd_event *eventLoop, const std::string &host, int port, Done whenDone)
{
    cancel();
    loop = eventLoop;
    done = std::move(whenDone);
    failure.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    // Resolving waits, as libmosquitto's own connect does.
    const int r = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
    if (r != 0) {
        addresses = nullptr;
        failure = r == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(r);
    }
    current = nullptr;
    next();
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
            if (sd_event_add_io(loop, &source, fd, EPOLLOUT, onWritable, this) >= 0)
                return;
            failure = "cannot watch the connection";
        } else {
            failure = std::strerror(errno);
        }
        close(fd);
        fd = -1;
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
        self->finish(std::string());
        return 0;
    }
    self->failure = std::strerror(error);
    self->next();
    return 0;
}

int Reach::onFailed(sd_event_source *, void *data)
{
    Reach *self = static_cast<Reach *>(data);
    self->finish(self->failure.empty() ? "no address" : self->failure);
    return 0;
}

void Reach::finish(const std::string &why)
{
    Done call = std::move(done);
    cancel();
    if (call)
        call(why);
}

} // namespace mqtt
