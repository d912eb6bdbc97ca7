#include "fifo-lines.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int fifo_open(struct fifo_lines *f, const char *path)
{
    memset(f, 0, sizeof *f);
    if (mkfifo(path, 0600) < 0 && errno != EEXIST)
        return -1;
    f->fd = open(path, O_RDWR | O_CLOEXEC);
    return f->fd;
}

int fifo_fill(struct fifo_lines *f)
{
    f->have -= f->start;
    memmove(f->pending, f->pending + f->start, f->have);
    f->start = 0;
    if (f->have == sizeof f->pending - 1)
        f->have = 0;
    ssize_t r = read(f->fd, f->pending + f->have, sizeof f->pending - 1 - f->have);
    if (r <= 0)
        return -1;
    f->have += (size_t)r;
    f->pending[f->have] = 0;
    return 0;
}

char *fifo_next(struct fifo_lines *f)
{
    char *line = f->pending + f->start;
    char *end = memchr(line, '\n', f->have - f->start);
    if (!end)
        return NULL;
    *end = 0;
    f->start = (size_t)(end + 1 - f->pending);
    return line;
}
