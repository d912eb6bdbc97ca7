// Linked into the test executables of a cross build whose tests run under
// qemu-user (see tests/CMakeLists.txt).
//
// qemu-arm 7.2 passes waitid(P_PIDFD, ...) through to the host kernel but
// rejects clone(CLONE_PIDFD) with EINVAL. Qt 5.15 takes a working waitid
// probe to mean that clone(CLONE_PIDFD) works too, so every QProcess start
// then fails half-way: QProcess reports the process id -1, and a later
// QProcess::kill() sends SIGKILL to -1, that is, to every process the user
// may signal. Answering the probe as a kernel without pidfds does (EINVAL)
// sends Qt down its fork() path, which qemu emulates fully.

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
constexpr long kPidfdIdType = 3;   // P_PIDFD
using SyscallFn = long (*)(long, ...);
}

// Forwards every other call word for word: seven argument words cover all
// system calls (at most seven registers), 64-bit pairs included.
extern "C" long syscall(long number, ...) noexcept
{
    va_list ap;
    va_start(ap, number);
    long a[7];
    for (long &w : a)
        w = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_waitid && a[0] == kPidfdIdType) {
        errno = EINVAL;
        return -1;
    }
    static const SyscallFn next = reinterpret_cast<SyscallFn>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
}
