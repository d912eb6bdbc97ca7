// Preloaded into a program under test: every fsync() and fdatasync() is
// passed on, and a line "fsync PATH" (or "fdatasync PATH") is appended to
// the file named by FSYNC_LOG, so that a test counts what reached the disk.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void note(const char *call, int fd)
{
    const char *log = getenv("FSYNC_LOG");
    if (!log)
        return;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    path[n < 0 ? 0 : n] = '\0';
    char line[4200];
    const int len = snprintf(line, sizeof line, "%s %s\n", call, path);
    const int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (out < 0)
        return;
    // One write with O_APPEND: whole lines, whoever writes.
    if (write(out, line, (size_t)(len < (int)sizeof line ? len : (int)sizeof line - 1)) < 0)
        perror("fsynclog");
    close(out);
}

int fsync(int fd)
{
    static int (*real)(int);
    if (!real)
        real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    note("fsync", fd);
    return real(fd);
}

int fdatasync(int fd)
{
    static int (*real)(int);
    if (!real)
        real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    note("fdatasync", fd);
    return real(fd);
}
