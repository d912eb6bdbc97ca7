// The interposers below must define the plain symbol names, so the header
// redirections of fortify and of 64-bit file offsets / time are switched off.
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "simhid.h"

#include <linux/hidraw.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

extern "C" {
[[noreturn]] void __chk_fail(void);
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t buflen);
#if defined(__TIMESIZE) && __TIMESIZE == 32
int __ioctl_time64(int fd, unsigned long request, ...) noexcept;
#endif
}

namespace {

// ---------------------------------------------------------------------------
// The next definitions of the intercepted functions.

enum Sym {
    SymOpen, SymOpen64, SymOpen2, SymOpen64_2, SymOpenat, SymOpenat64, SymOpenat2,
    SymOpenat64_2, SymRead, SymReadChk, SymWrite, SymClose, SymIoctl, SymIoctlTime64,
    SymAccess, SymCount
};
const char *const kSymNames[SymCount] = {
    "open", "open64", "__open_2", "__open64_2", "openat", "openat64", "__openat_2",
    "__openat64_2", "read", "__read_chk", "write", "close", "ioctl", "__ioctl_time64",
    "access",
};

std::atomic<void *> g_next[SymCount];
std::atomic<bool> g_missing[SymCount];
// dlsym could in principle reach an intercepted call; such a nested call then
// gets nullptr and its caller uses the raw system call instead of recursing.
__attribute__((tls_model("initial-exec"))) thread_local int t_resolving = 0;

void *next(Sym s)
{
    void *p = g_next[s].load(std::memory_order_acquire);
    if (p || g_missing[s].load(std::memory_order_relaxed) || t_resolving)
        return p;
    ++t_resolving;
    p = dlsym(RTLD_NEXT, kSymNames[s]);
    --t_resolving;
    if (p)
        g_next[s].store(p, std::memory_order_release);
    else
        g_missing[s].store(true, std::memory_order_relaxed);
    return p;
}

// Resolved before main so that a first call from a signal handler never
// reaches dlsym.
__attribute__((constructor)) void resolveAll()
{
    for (int s = 0; s < SymCount; ++s)
        next(static_cast<Sym>(s));
}

using OpenFn = int (*)(const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using OpenatFn = int (*)(int, const char *, int, ...);
using Openat2Fn = int (*)(int, const char *, int);
using ReadFn = ssize_t (*)(int, void *, size_t);
using ReadChkFn = ssize_t (*)(int, void *, size_t, size_t);
using WriteFn = ssize_t (*)(int, const void *, size_t);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using AccessFn = int (*)(const char *, int);

template <typename F> F nextAs(Sym s) { return reinterpret_cast<F>(next(s)); }

#ifndef O_LARGEFILE
#define O_LARGEFILE 0
#endif

int rawOpenat(bool large, int dirfd, const char *path, int flags, mode_t mode)
{
    return static_cast<int>(syscall(SYS_openat, dirfd, path, flags | (large ? O_LARGEFILE : 0), mode));
}

// The next definition of an open variant; where there is none, the checked
// variants fall back to their plain form and the plain ones to the system call.
int realOpen(Sym s, int dirfd, const char *path, int flags, mode_t mode)
{
    void *f = next(s);
    switch (s) {
    case SymOpen:
    case SymOpen64:
        if (f)
            return reinterpret_cast<OpenFn>(f)(path, flags, mode);
        break;
    case SymOpen2:
    case SymOpen64_2:
        if (f)
            return reinterpret_cast<Open2Fn>(f)(path, flags);
        return realOpen(s == SymOpen2 ? SymOpen : SymOpen64, dirfd, path, flags, mode);
    case SymOpenat2:
    case SymOpenat64_2:
        if (f)
            return reinterpret_cast<Openat2Fn>(f)(dirfd, path, flags);
        return realOpen(s == SymOpenat2 ? SymOpenat : SymOpenat64, dirfd, path, flags, mode);
    default:
        if (f)
            return reinterpret_cast<OpenatFn>(f)(dirfd, path, flags, mode);
        break;
    }
    return rawOpenat(s == SymOpen64 || s == SymOpenat64, dirfd, path, flags, mode);
}

ssize_t realRead(int fd, void *buf, size_t n)
{
    if (auto f = nextAs<ReadFn>(SymRead))
        return f(fd, buf, n);
    return syscall(SYS_read, fd, buf, n);
}

ssize_t realWrite(int fd, const void *buf, size_t n)
{
    if (auto f = nextAs<WriteFn>(SymWrite))
        return f(fd, buf, n);
    return syscall(SYS_write, fd, buf, n);
}

int realClose(int fd)
{
    if (auto f = nextAs<CloseFn>(SymClose))
        return f(fd);
    return static_cast<int>(syscall(SYS_close, fd));
}

int realIoctl(Sym s, int fd, unsigned long request, void *arg)
{
    if (auto f = nextAs<IoctlFn>(s))
        return f(fd, request, arg);
    if (s != SymIoctl)
        return realIoctl(SymIoctl, fd, request, arg);
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

bool needsMode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

// ---------------------------------------------------------------------------
// Simulation state.

constexpr int kNodes = 10;
constexpr int kMaxFd = 4096;          // simulated descriptors must be below this
constexpr size_t kMaxReport = 4096;   // HID_MAX_BUFFER_SIZE
constexpr size_t kAckSize = 64;

// Non-zero while the descriptor number may be a simulated one; read without
// the lock so that calls on every other descriptor stay cheap.
std::atomic<unsigned char> g_simFd[kMaxFd];

inline bool maybeSim(int fd)
{
    return fd >= 0 && fd < kMaxFd && g_simFd[fd].load(std::memory_order_acquire) != 0;
}

enum class Mode { Absent, Present, OpenFail, Zero, IdentityFail, Unplugged };

// What a node is set to, by the control calls or the configuration file.
struct NodeSetting {
    Mode mode = Mode::Absent;
    unsigned bus = 0;
    unsigned short vendor = 0;
    unsigned short product = 0;
    int err = 0;
    bool autoAck = false;
    int writeErr = 0;            // writes fail with it (a display not yet taking reports)
    bool hasIdentity = false;    // given one once: sysfs names it while it exists
};

struct Node : NodeSetting {
    int identityRequests = 0;
    bool listed = true;          // sysfs entry readable
    bool granted = false;        // access() says readable and writable...
    long long grantedAt = 0;     // ...from this CLOCK_MONOTONIC time; opens fail EACCES before it
};

long long monotonicNanos()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

bool exists(const Node &n) { return n.mode != Mode::Absent && n.mode != Mode::Unplugged; }
bool grantPending(const Node &n) { return n.granted && monotonicNanos() < n.grantedAt; }

struct Desc {
    bool used = false;
    int node = -1;
    int peer = -1;
    bool dead = false;     // unplugged: ENODEV
    bool orphan = false;   // forgotten by reset(): ENODEV, not counted or recorded
    dev_t dev = 0;         // identity of the socket, to notice a descriptor
    ino_t ino = 0;         // closed behind the sim's back and reused
    unsigned long long serial = 0;
};

struct ConfigKey {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const ConfigKey &o) const
    {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size
            && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec
            && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

struct State {
    std::mutex mu;
    Node nodes[kNodes];
    Desc descs[kMaxFd];
    unsigned long long serial = 0;
    std::vector<simhid::OpenRecord> opens;
    std::vector<simhid::WriteRecord> writes;
    std::vector<simhid::CloseRecord> closes;

    bool logInit = false;
    int logFd = -1;

    bool cfgInit = false;
    bool cfgLoaded = false;
    std::string cfgPath;
    ConfigKey cfgKey;
    std::string cfgText;
    timespec cfgReadAt{};
};

// Never destroyed: Qt threads may still call in during exit.
State &state()
{
    static State *s = new State;
    return *s;
}

struct ErrnoKeeper {
    int saved = errno;
    ~ErrnoKeeper() { errno = saved; }
};

// ---------------------------------------------------------------------------
// Log.

void logLine(State &s, const std::string &line)
{
#ifdef SIMHID_FROM_ENV
    ErrnoKeeper keep;
    if (!s.logInit) {
        s.logInit = true;
        const char *path = getenv("SIMHID_LOG");
        if (path && *path)
            s.logFd = realOpen(SymOpen, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    if (s.logFd < 0)
        return;
    const std::string text = line + '\n';
    (void)realWrite(s.logFd, text.data(), text.size());
#else
    (void)s;
    (void)line;
#endif
}

std::string hex(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xf];
    }
    return out;
}

// ---------------------------------------------------------------------------
// Node transitions.

bool validNode(int node) { return node >= 0 && node < kNodes; }

void closePeer(Desc &d)
{
    if (d.peer >= 0) {
        realClose(d.peer);
        d.peer = -1;
    }
}

void killDescriptors(State &s, int node)
{
    for (Desc &d : s.descs) {
        if (d.used && !d.orphan && !d.dead && d.node == node) {
            d.dead = true;
            closePeer(d);
        }
    }
}

void setMode(State &s, int node, Mode mode)
{
    s.nodes[node].mode = mode;
    if (mode == Mode::Absent || mode == Mode::Unplugged) {
        killDescriptors(s, node);
        // The rights udev gave go with the node.
        s.nodes[node].granted = false;
    }
}

void forget(State &s, int fd)
{
    Desc &d = s.descs[fd];
    closePeer(d);
    d = Desc{};
    g_simFd[fd].store(0, std::memory_order_release);
}

// The descriptor record for fd, or nullptr when fd is not (or no longer) a
// socket the sim handed out.
Desc *lookup(State &s, int fd)
{
    if (!maybeSim(fd))
        return nullptr;
    Desc &d = s.descs[fd];
    if (!d.used)
        return nullptr;
    struct stat sb;
    if (fstat(fd, &sb) != 0 || sb.st_dev != d.dev || sb.st_ino != d.ino) {
        forget(s, fd);
        return nullptr;
    }
    return &d;
}

bool pushToPeer(const Desc &d, const unsigned char *data, size_t len)
{
    if (d.peer < 0 || len == 0)
        return false;
    return send(d.peer, data, len, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(len);
}

// ---------------------------------------------------------------------------
// Configuration file (preloaded use).

#ifdef SIMHID_FROM_ENV


bool parseErrno(const std::string &word, int *err)
{
    static const struct { const char *name; int value; } names[] = {
        {"EPERM", EPERM}, {"ENOENT", ENOENT}, {"EIO", EIO}, {"ENXIO", ENXIO},
        {"EBADF", EBADF}, {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM}, {"EACCES", EACCES},
        {"EBUSY", EBUSY}, {"ENODEV", ENODEV}, {"EINVAL", EINVAL}, {"EMFILE", EMFILE},
        {"ENOTTY", ENOTTY}, {"EPIPE", EPIPE}, {"ETIMEDOUT", ETIMEDOUT},
    };
    for (const auto &n : names) {
        if (word == n.name) {
            *err = n.value;
            return true;
        }
    }
    char *end = nullptr;
    const long v = strtol(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0' || v <= 0 || v > 4095)
        return false;
    *err = static_cast<int>(v);
    return true;
}

bool parseHex16(const std::string &word, unsigned short *out)
{
    char *end = nullptr;
    const unsigned long v = strtoul(word.c_str(), &end, 16);
    if (word.empty() || *end != '\0' || v > 0xffff)
        return false;
    *out = static_cast<unsigned short>(v);
    return true;
}

// Malformed lines are ignored.
void parseConfig(const std::string &text, NodeSetting (&cfg)[kNodes])
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        const std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;

        std::vector<std::string> w;
        size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
                ++i;
            size_t j = i;
            while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r')
                ++j;
            if (j > i)
                w.push_back(line.substr(i, j - i));
            i = j;
        }
        if (w.size() < 2 || w[0][0] == '#')
            continue;
        if (w[0].size() != 1 || w[0][0] < '0' || w[0][0] > '9')
            continue;
        NodeSetting c;
        const std::string &what = w[1];
        // "N present ... writefail ERRNO": present, but every write fails.
        if (w.size() == 7 && w[1] == "present" && w[5] == "writefail") {
            if (!parseErrno(w[6], &c.writeErr))
                continue;
            w.resize(5);
        }
        if (what == "present" && (w.size() == 5 || (w.size() == 6 && w[5] == "ack"))) {
            char *end = nullptr;
            const unsigned long bus = strtoul(w[2].c_str(), &end, 10);
            if (*end != '\0' || !parseHex16(w[3], &c.vendor) || !parseHex16(w[4], &c.product))
                continue;
            c.mode = Mode::Present;
            c.bus = static_cast<unsigned>(bus);
            c.autoAck = w.size() == 6;
            c.hasIdentity = true;
        } else if (what == "absent" && w.size() == 2) {
            c.mode = Mode::Absent;
        } else if (what == "openfail" && w.size() == 3 && parseErrno(w[2], &c.err)) {
            c.mode = Mode::OpenFail;
        } else if (what == "zero" && w.size() == 2) {
            c.mode = Mode::Zero;
        } else if (what == "identityfail" && w.size() == 3 && parseErrno(w[2], &c.err)) {
            c.mode = Mode::IdentityFail;
        } else if (what == "unplugged" && w.size() == 2) {
            c.mode = Mode::Unplugged;
        } else {
            continue;
        }
        cfg[w[0][0] - '0'] = c;
    }
}

void applyConfig(State &s, const NodeSetting (&cfg)[kNodes])
{
    for (int n = 0; n < kNodes; ++n) {
        Node &node = s.nodes[n];
        const NodeSetting &c = cfg[n];
        if (c.hasIdentity) {
            node.bus = c.bus;
            node.vendor = c.vendor;
            node.product = c.product;
            node.hasIdentity = true;
        }
        node.err = c.err;
        node.autoAck = c.autoAck;
        node.writeErr = c.writeErr;
        if (node.mode != c.mode)
            setMode(s, n, c.mode);
    }
}

bool readWholeFile(const std::string &path, std::string *out)
{
    const int fd = realOpen(SymOpen, AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    char buf[4096];
    for (;;) {
        const ssize_t n = realRead(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > (1u << 20))
            break;
    }
    realClose(fd);
    return true;
}

long long nanos(const timespec &t)
{
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// stat() each time; the content is read only when the file's identity,
// size or times changed, or when it was modified so recently that a change
// within the file system's timestamp granularity could hide behind them.
void refreshConfig(State &s)
{
    ErrnoKeeper keep;
    if (!s.cfgInit) {
        s.cfgInit = true;
        const char *path = getenv("SIMHID_CONFIG");
        if (path && *path)
            s.cfgPath = path;
    }
    if (s.cfgPath.empty())
        return;

    ConfigKey key;
    struct stat sb;
    if (stat(s.cfgPath.c_str(), &sb) == 0) {
        key.exists = true;
        key.dev = sb.st_dev;
        key.ino = sb.st_ino;
        key.size = sb.st_size;
        key.mtime = sb.st_mtim;
        key.ctime = sb.st_ctim;
    }
    constexpr long long kGranularity = 100LL * 1000 * 1000;
    const bool recent = key.exists
        && (nanos(key.mtime) >= nanos(s.cfgReadAt) - kGranularity
            || nanos(key.ctime) >= nanos(s.cfgReadAt) - kGranularity);
    if (s.cfgLoaded && key == s.cfgKey && !recent)
        return;

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::string text;
    if (key.exists && !readWholeFile(s.cfgPath, &text))
        return;   // vanished between stat and open: look again next time
    s.cfgKey = key;
    s.cfgReadAt = now;
    if (s.cfgLoaded && text == s.cfgText)
        return;
    s.cfgLoaded = true;
    s.cfgText = text;
    NodeSetting cfg[kNodes];
    parseConfig(text, cfg);
    applyConfig(s, cfg);
}

#else

void refreshConfig(State &) {}

#endif

// The state's lock, taken after the configuration file has been read again.
std::unique_lock<std::mutex> lockedFresh(State &s)
{
    std::unique_lock<std::mutex> lock(s.mu);
    refreshConfig(s);
    return lock;
}

// ---------------------------------------------------------------------------
// Simulated calls; the ones returning bool say false for a descriptor the
// sim does not own.

int hidrawNode(const char *path)
{
    if (!path || strncmp(path, "/dev/hidraw", 11) != 0)
        return -1;
    if (path[11] < '0' || path[11] > '9' || path[12] != '\0')
        return -1;
    return path[11] - '0';
}

int simOpen(int node, int flags)
{
    State &s = state();
    const auto lock = lockedFresh(s);
    const Node &n = s.nodes[node];
    int result = -1;
    int err = 0;
    switch (n.mode) {
    case Mode::Absent:
    case Mode::Unplugged:
        err = ENOENT;
        break;
    case Mode::OpenFail:
        err = n.err;
        break;
    case Mode::Zero:
        result = 0;
        break;
    case Mode::Present:
    case Mode::IdentityFail: {
        if (grantPending(n)) {
            err = EACCES;
            break;
        }
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
            err = errno;
            break;
        }
        struct stat sb;
        if (sv[0] >= kMaxFd || fstat(sv[0], &sb) != 0) {
            realClose(sv[0]);
            realClose(sv[1]);
            err = EMFILE;
            break;
        }
        if (flags & O_NONBLOCK)
            fcntl(sv[0], F_SETFL, O_NONBLOCK);
        if (!(flags & O_CLOEXEC))
            fcntl(sv[0], F_SETFD, 0);
        Desc &d = s.descs[sv[0]];
        d = Desc{};
        d.used = true;
        d.node = node;
        d.peer = sv[1];
        d.dev = sb.st_dev;
        d.ino = sb.st_ino;
        d.serial = ++s.serial;
        g_simFd[sv[0]].store(1, std::memory_order_release);
        result = sv[0];
        break;
    }
    }
    s.opens.push_back({node, result, err});
    logLine(s, "open " + std::to_string(node) + ' ' + std::to_string(result) + ' '
                   + std::to_string(err));
    if (result < 0)
        errno = err;
    return result;
}

bool simWrite(int fd, const void *buf, size_t count, ssize_t *out)
{
    State &s = state();
    const auto lock = lockedFresh(s);
    Desc *d = lookup(s, fd);
    if (!d)
        return false;
    if (d->orphan) {
        *out = -1;
        errno = ENODEV;
        return true;
    }
    ssize_t result;
    int err = 0;
    if (d->dead)
        err = ENODEV;
    else if (d->node >= 0 && s.nodes[d->node].writeErr)
        err = s.nodes[d->node].writeErr;
    else if (count < 2 || count > kMaxReport)
        err = EINVAL;
    else if (!buf)
        err = EFAULT;
    result = err ? -1 : static_cast<ssize_t>(count);

    simhid::WriteRecord rec;
    rec.node = d->node;
    rec.fd = fd;
    if (buf && count <= kMaxReport) {
        const unsigned char *p = static_cast<const unsigned char *>(buf);
        rec.bytes.assign(p, p + count);
    }
    const int fl = fcntl(fd, F_GETFL);
    rec.blocking = fl >= 0 && !(fl & O_NONBLOCK);
    rec.result = static_cast<long>(result);
    rec.err = err;

    logLine(s, "write " + std::to_string(rec.node) + ' ' + std::to_string(fd) + ' '
                   + std::to_string(rec.result) + ' ' + (rec.blocking ? '1' : '0') + ' '
                   + hex(rec.bytes));

    if (result > 0 && s.nodes[d->node].autoAck && rec.bytes.size() >= 3
        && rec.bytes[0] == 0x04 && rec.bytes[1] == 0xAA && rec.bytes[2] == 0x01) {
        unsigned char ack[kAckSize] = {0x04, 0xAA, 0x02};
        pushToPeer(*d, ack, sizeof ack);
    }
    s.writes.push_back(std::move(rec));

    *out = result;
    errno = err;   // only meaningful when result is -1
    return true;
}

// False if fd is not simulated; *fail when the read must fail ENODEV at once.
bool simReadBegin(int fd, int *node, bool *fail)
{
    State &s = state();
    const auto lock = lockedFresh(s);
    Desc *d = lookup(s, fd);
    if (!d)
        return false;
    *node = d->node;
    *fail = d->dead || d->orphan;
    if (*fail && !d->orphan)
        logLine(s, "read " + std::to_string(d->node) + " -1");
    return true;
}

ssize_t simReadEnd(int fd, ssize_t got, int err, size_t wanted)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    Desc *d = lookup(s, fd);
    if (!d) {
        errno = err;
        return got;
    }
    // The peer only goes away on unplug/reset, and no report is empty, so
    // end-of-file means the node went away while the read waited.
    if (got == 0 && wanted > 0 && (d->dead || d->orphan)) {
        got = -1;
        err = ENODEV;
    }
    if (!d->orphan)
        logLine(s, "read " + std::to_string(d->node) + ' ' + std::to_string(got));
    errno = err;
    return got;
}

ssize_t simRead(int fd, void *buf, size_t n, bool *handled)
{
    int node = -1;
    bool fail = false;
    *handled = simReadBegin(fd, &node, &fail);
    if (!*handled)
        return 0;
    if (fail) {
        errno = ENODEV;
        return -1;
    }
    const ssize_t got = realRead(fd, buf, n);
    const int err = errno;
    return simReadEnd(fd, got, err, n);
}

bool simIoctl(int fd, unsigned long request, void *arg, int *out)
{
    const unsigned int cmd = static_cast<unsigned int>(request);   // the kernel's width
    if (_IOC_TYPE(cmd) != 'H')
        return false;
    State &s = state();
    const auto lock = lockedFresh(s);
    Desc *d = lookup(s, fd);
    if (!d)
        return false;
    int err = 0;
    if (cmd != HIDIOCGRAWINFO) {
        err = ENOTTY;
    } else {
        Node &n = s.nodes[d->node];
        if (d->dead || d->orphan) {
            err = ENODEV;
        } else if (n.mode == Mode::IdentityFail) {
            err = n.err;
        } else if (!arg) {
            err = EFAULT;
        } else {
            hidraw_devinfo info{};
            info.bustype = n.bus;
            info.vendor = static_cast<__s16>(n.vendor);
            info.product = static_cast<__s16>(n.product);
            memcpy(arg, &info, sizeof info);
        }
        if (!d->orphan) {
            ++n.identityRequests;
            logLine(s, "ioctl " + std::to_string(d->node) + (err ? " FAIL" : " OK"));
        }
    }
    *out = err ? -1 : 0;
    errno = err;
    return true;
}

void simClose(int fd)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    Desc *d = lookup(s, fd);
    if (!d)
        return;
    if (!d->orphan) {
        s.closes.push_back({d->node, fd});
        logLine(s, "close " + std::to_string(d->node) + ' ' + std::to_string(fd));
    }
    forget(s, fd);
}

// The node of /sys/class/hidraw/hidrawN/device/uevent, or -1.
int ueventNode(const char *path)
{
    static const char prefix[] = "/sys/class/hidraw/hidraw";
    static const char suffix[] = "/device/uevent";
    if (!path || strncmp(path, prefix, sizeof prefix - 1) != 0)
        return -1;
    const char *p = path + sizeof prefix - 1;
    if (*p < '0' || *p > '9' || strcmp(p + 1, suffix) != 0)
        return -1;
    return *p - '0';
}

// The uevent text the kernel would show, in a pipe that holds all of it.
int simOpenUevent(int node, int flags)
{
    State &s = state();
    std::string text;
    {
        const auto lock = lockedFresh(s);
        const Node &n = s.nodes[node];
        if (!exists(n) || !n.hasIdentity || !n.listed) {
            errno = ENOENT;
            return -1;
        }
        char line[64];
        snprintf(line, sizeof line, "HID_ID=%04X:%08X:%08X\n", n.bus, n.vendor, n.product);
        text = std::string("DRIVER=hid-generic\n") + line + "HID_NAME=simulated\n";
    }
    int fds[2];
    if (pipe2(fds, (flags & O_CLOEXEC) ? O_CLOEXEC : 0) != 0)
        return -1;
    const ssize_t written = realWrite(fds[1], text.data(), text.size());
    realClose(fds[1]);
    if (written != static_cast<ssize_t>(text.size())) {
        realClose(fds[0]);
        errno = EIO;
        return -1;
    }
    return fds[0];
}

int simAccess(int node, int mode)
{
    State &s = state();
    const auto lock = lockedFresh(s);
    const Node &n = s.nodes[node];
    int err = 0;
    if (!exists(n))
        err = ENOENT;
    else if (mode != F_OK && (!n.granted || grantPending(n)))
        err = EACCES;
    errno = err;
    return err ? -1 : 0;
}

// Every open variant: a simulated node or its sysfs uevent, else the real file.
int interceptedOpen(Sym s, int dirfd, const char *path, int flags, mode_t mode)
{
    const int node = hidrawNode(path);
    if (node >= 0)
        return simOpen(node, flags);
    const int sysfsNode = ueventNode(path);
    if (sysfsNode >= 0)
        return simOpenUevent(sysfsNode, flags);
    return realOpen(s, dirfd, path, flags, mode);
}

ssize_t interceptedRead(int fd, void *buf, size_t n)
{
    if (maybeSim(fd)) {
        bool handled = false;
        const ssize_t r = simRead(fd, buf, n, &handled);
        if (handled)
            return r;
    }
    return realRead(fd, buf, n);
}

int interceptedIoctl(Sym sym, int fd, unsigned long request, void *arg)
{
    if (maybeSim(fd)) {
        int r = 0;
        if (simIoctl(fd, request, arg, &r))
            return r;
    }
    return realIoctl(sym, fd, request, arg);
}

} // namespace

// ---------------------------------------------------------------------------
// Interposers.

extern "C" {

// The variadic argument after `last`, as a `type`.
#define SIMHID_NEXT_ARG(last, type, var) \
    do {                                 \
        va_list ap;                      \
        va_start(ap, last);              \
        var = va_arg(ap, type);          \
        va_end(ap);                      \
    } while (0)

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (needsMode(flags))  // only then is there a mode argument
        SIMHID_NEXT_ARG(flags, mode_t, mode);
    return interceptedOpen(SymOpen, AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (needsMode(flags))  // only then is there a mode argument
        SIMHID_NEXT_ARG(flags, mode_t, mode);
    return interceptedOpen(SymOpen64, AT_FDCWD, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    return interceptedOpen(SymOpen2, AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return interceptedOpen(SymOpen64_2, AT_FDCWD, path, flags, 0);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (needsMode(flags))  // only then is there a mode argument
        SIMHID_NEXT_ARG(flags, mode_t, mode);
    return interceptedOpen(SymOpenat, dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (needsMode(flags))  // only then is there a mode argument
        SIMHID_NEXT_ARG(flags, mode_t, mode);
    return interceptedOpen(SymOpenat64, dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    return interceptedOpen(SymOpenat2, dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    return interceptedOpen(SymOpenat64_2, dirfd, path, flags, 0);
}

ssize_t read(int fd, void *buf, size_t n)
{
    return interceptedRead(fd, buf, n);
}

ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    if (n > buflen)
        __chk_fail();
    if (!maybeSim(fd)) {
        if (auto f = nextAs<ReadChkFn>(SymReadChk))
            return f(fd, buf, n, buflen);
    }
    return interceptedRead(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    if (maybeSim(fd)) {
        ssize_t r = 0;
        if (simWrite(fd, buf, n, &r))
            return r;
    }
    return realWrite(fd, buf, n);
}

int access(const char *path, int mode) noexcept
{
    const int node = hidrawNode(path);
    if (node >= 0)
        return simAccess(node, mode);
    if (auto f = nextAs<AccessFn>(SymAccess))
        return f(path, mode);
    return static_cast<int>(syscall(SYS_faccessat, AT_FDCWD, path, mode));
}

int close(int fd)
{
    if (maybeSim(fd))
        simClose(fd);
    return realClose(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    void *arg;
    SIMHID_NEXT_ARG(request, void *, arg);
    return interceptedIoctl(SymIoctl, fd, request, arg);
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
int __ioctl_time64(int fd, unsigned long request, ...) noexcept
{
    void *arg;
    SIMHID_NEXT_ARG(request, void *, arg);
    return interceptedIoctl(SymIoctlTime64, fd, request, arg);
}
#endif

} // extern "C"

// ---------------------------------------------------------------------------
// Control API.

namespace simhid {

void reset()
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    for (Node &n : s.nodes)
        n = Node{};
    for (Desc &d : s.descs) {
        if (d.used) {
            closePeer(d);
            d.orphan = true;
        }
    }
    s.opens.clear();
    s.writes.clear();
    s.closes.clear();
}

namespace {
// Runs change on a valid node's entry under the state lock.
template <typename Change>
void changeNode(int node, Change change)
{
    if (!validNode(node))
        return;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    change(s, s.nodes[node]);
}
} // namespace

void present(int node, unsigned bustype, unsigned short vendor, unsigned short product)
{
    changeNode(node, [&](State &s, Node &n) {
        n.bus = bustype;
        n.vendor = vendor;
        n.product = product;
        n.hasIdentity = true;
        setMode(s, node, Mode::Present);
    });
}

namespace {
// err is what the calls that fail in this mode report; no other mode reads it.
void toMode(int node, Mode mode, int err = 0)
{
    changeNode(node, [&](State &s, Node &n) {
        n.err = err;
        setMode(s, node, mode);
    });
}
} // namespace

void absent(int node) { toMode(node, Mode::Absent); }
void failOpen(int node, int err) { toMode(node, Mode::OpenFail, err); }
void openReturnsZero(int node) { toMode(node, Mode::Zero); }
void failIdentity(int node, int err) { toMode(node, Mode::IdentityFail, err); }
void unplug(int node) { toMode(node, Mode::Unplugged); }
void plug(int node) { toMode(node, Mode::Present); }

void grantAccess(int node, int afterMs)
{
    changeNode(node, [&](State &, Node &n) {
        n.granted = true;
        n.grantedAt = monotonicNanos() + static_cast<long long>(afterMs) * 1000000LL;
    });
}

void listInSysfs(int node, bool listed)
{
    changeNode(node, [&](State &, Node &n) { n.listed = listed; });
}

void setAutoAck(int node, bool on)
{
    changeNode(node, [&](State &, Node &n) { n.autoAck = on; });
}

void failWrites(int node, int err)
{
    changeNode(node, [&](State &, Node &n) { n.writeErr = err; });
}

bool queueInput(int node, const std::vector<unsigned char> &report)
{
    if (!validNode(node) || report.empty())
        return false;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    Desc *latest = nullptr;
    for (int fd = 0; fd < kMaxFd; ++fd) {
        Desc *d = s.descs[fd].used ? lookup(s, fd) : nullptr;
        if (d && !d->dead && !d->orphan && d->node == node && (!latest || d->serial > latest->serial))
            latest = d;
    }
    return latest && pushToPeer(*latest, report.data(), report.size());
}

std::vector<OpenRecord> opens()
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.opens;
}

std::vector<WriteRecord> writes()
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.writes;
}

std::vector<CloseRecord> closes()
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.closes;
}

int identityRequests(int node)
{
    if (!validNode(node))
        return 0;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.nodes[node].identityRequests;
}

int openDescriptors(int node)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    int count = 0;
    for (int fd = 0; fd < kMaxFd; ++fd) {
        Desc *d = s.descs[fd].used ? lookup(s, fd) : nullptr;
        if (d && !d->orphan && (node == -1 || d->node == node))
            ++count;
    }
    return count;
}

void clearRecords()
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.opens.clear();
    s.writes.clear();
    s.closes.clear();
    for (Node &n : s.nodes)
        n.identityRequests = 0;
}

} // namespace simhid
