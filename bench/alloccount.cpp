#include "alloccount.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void *__libc_valloc(size_t);
void *__libc_pvalloc(size_t);
void __libc_free(void *);
}

namespace {

constexpr int kFrames = 24;
constexpr int kMaxTraces = 8192;

struct Trace {
    int depth;
    void *frames[kFrames];
};

Trace g_traces[kMaxTraces];
int g_traceCount = 0;

__attribute__((tls_model("initial-exec"))) thread_local bool t_counting = false;
__attribute__((tls_model("initial-exec"))) thread_local bool t_tracing = false;
__attribute__((tls_model("initial-exec"))) thread_local bool t_inside = false;
__attribute__((tls_model("initial-exec"))) thread_local unsigned long t_count = 0;

__attribute__((noinline)) void note()
{
    if (!t_counting || t_inside)
        return;
    ++t_count;
    if (t_tracing && g_traceCount < kMaxTraces) {
        t_inside = true;
        Trace &t = g_traces[g_traceCount++];
        t.depth = backtrace(t.frames, kFrames);
        t_inside = false;
    }
}

std::string symbolOf(void *addr)
{
    Dl_info info;
    if (!dladdr(addr, &info) || !info.dli_sname) {
        const char *lib = (dladdr(addr, &info) && info.dli_fname) ? info.dli_fname : "?";
        const char *slash = strrchr(lib, '/');
        return std::string("?@") + (slash ? slash + 1 : lib);
    }
    int status = 0;
    char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : info.dli_sname;
    free(demangled);
    return name;
}

} // namespace

extern "C" {

void *malloc(size_t n)
{
    note();
    return __libc_malloc(n);
}

void *calloc(size_t n, size_t m)
{
    note();
    return __libc_calloc(n, m);
}

void *realloc(void *p, size_t n)
{
    note();
    return __libc_realloc(p, n);
}

void *memalign(size_t a, size_t n)
{
    note();
    return __libc_memalign(a, n);
}

void *aligned_alloc(size_t a, size_t n)
{
    note();
    return __libc_memalign(a, n);
}

int posix_memalign(void **out, size_t a, size_t n)
{
    note();
    void *p = __libc_memalign(a, n);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

void *valloc(size_t n)
{
    note();
    return __libc_valloc(n);
}

void *pvalloc(size_t n)
{
    note();
    return __libc_pvalloc(n);
}

void free(void *p)
{
    __libc_free(p);
}

} // extern "C"

namespace alloccount {

void reset()
{
    t_count = 0;
    g_traceCount = 0;
}

void resume(bool trace)
{
    if (trace) {
        // The unwinder loads itself on first use; that must not be traced.
        void *warm[4];
        backtrace(warm, 4);
    }
    t_tracing = trace;
    t_counting = true;
}

unsigned long pause()
{
    t_counting = false;
    t_tracing = false;
    return t_count;
}

std::vector<Site> sites(std::string (*classify)(const std::vector<std::string> &))
{
    std::map<std::string, Site> byClass;
    for (int i = 0; i < g_traceCount; ++i) {
        std::vector<std::string> names;
        // Frame 0 is note(), frame 1 the allocator entry point.
        for (int f = 2; f < g_traces[i].depth; ++f)
            names.push_back(symbolOf(g_traces[i].frames[f]));
        const std::string where = classify(names);
        Site &s = byClass[where];
        if (s.count++ == 0) {
            s.where = where;
            for (size_t k = 0; k < names.size() && k < 12; ++k)
                s.example += (k ? " < " : "") + names[k];
        }
    }
    std::vector<Site> out;
    for (auto &kv : byClass)
        out.push_back(kv.second);
    return out;
}

} // namespace alloccount
