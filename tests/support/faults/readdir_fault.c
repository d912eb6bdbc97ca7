// The C library's readdir with a failure that a test switches on.
// Large-file redirection is undone so that both names are defined here
// (64-bit time needs it, so it goes too).
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include "readdir_fault.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>

static int armed;
static int left;
static int failure;

void readdir_fault_arm(int entries, int error)
{
    left = entries;
    failure = error;
    armed = 1;
}

void readdir_fault_disarm(void)
{
    armed = 0;
}

static int fails(void)
{
    if (!armed)
        return 0;
    if (left > 0) {
        --left;
        return 0;
    }
    errno = failure;
    return 1;
}

struct dirent *readdir(DIR *dir)
{
    static struct dirent *(*real)(DIR *);
    if (!real)
        real = (struct dirent * (*)(DIR *)) dlsym(RTLD_NEXT, "readdir");
    return fails() ? NULL : real(dir);
}

struct dirent64 *readdir64(DIR *dir)
{
    static struct dirent64 *(*real)(DIR *);
    if (!real)
        real = (struct dirent64 * (*)(DIR *)) dlsym(RTLD_NEXT, "readdir64");
    return fails() ? NULL : real(dir);
}
