/*
 * The command fifo of the guest's programs, read a whole line at a time.
 */
#ifndef FIFO_LINES_H
#define FIFO_LINES_H

#include <stddef.h>

struct fifo_lines {
    int fd;
    char pending[256];
    size_t have, start;
};

/* Makes the fifo at path if need be and opens it read-write, so that it
 * never reports end of file between writers; -1 on failure. */
int fifo_open(struct fifo_lines *f, const char *path);
/* Reads what the fifo holds; -1 when it failed or ended. A line longer
 * than the buffer is dropped rather than split. */
int fifo_fill(struct fifo_lines *f);
/* The next whole line without its newline, or NULL until more is read. */
char *fifo_next(struct fifo_lines *f);

#endif
