// Built with _FORTIFY_SOURCE so that these calls reach __open_2 and
// __read_chk, the way a hardened build of the program would.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

int fortifiedOpen(const char *path, int flags)
{
    return open(path, flags);
}

// A local buffer of known size and a length only known at run time make the
// compiler check the call through __read_chk.
long fortifiedRead(int fd, unsigned char (&out)[64], unsigned long length)
{
    unsigned char buf[64];
    const long r = read(fd, buf, length);
    if (r > 0)
        memcpy(out, buf, static_cast<size_t>(r));
    return r;
}
