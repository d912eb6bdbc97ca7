// Preloaded: getaddrinfo("localhost") answers ::1 first and 127.0.0.1
// second, as on a machine with Debian's default /etc/hosts, so that a
// client which tries only the first address meets a broker that listens on
// 127.0.0.1 alone. Other names go to the C library.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

typedef int (*getaddrinfo_fn)(const char *, const char *, const struct addrinfo *, struct addrinfo **);

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints, struct addrinfo **res)
{
    getaddrinfo_fn real = (getaddrinfo_fn)dlsym(RTLD_NEXT, "getaddrinfo");
    if (!real)
        return EAI_SYSTEM;
    if (!node || strcmp(node, "localhost") != 0)
        return real(node, service, hints, res);
    struct addrinfo numeric = {0};
    if (hints)
        numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    const int family = numeric.ai_family;
    struct addrinfo *six = NULL, *four = NULL;
    int r6 = EAI_FAMILY, r4 = EAI_FAMILY;
    if (family == AF_UNSPEC || family == AF_INET6) {
        numeric.ai_family = AF_INET6;
        r6 = real("::1", service, &numeric, &six);
    }
    if (family == AF_UNSPEC || family == AF_INET) {
        numeric.ai_family = AF_INET;
        r4 = real("127.0.0.1", service, &numeric, &four);
    }
    if (r6 != 0 && r4 != 0)
        return r6 != EAI_FAMILY ? r6 : r4;
    if (r6 != 0) {
        *res = four;
        return 0;
    }
    // glibc's freeaddrinfo frees entry by entry: two lists joined free as one.
    struct addrinfo *last = six;
    while (last->ai_next)
        last = last->ai_next;
    last->ai_next = r4 == 0 ? four : NULL;
    *res = six;
    return 0;
}
