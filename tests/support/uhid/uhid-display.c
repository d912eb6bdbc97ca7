/*
 * A USB display for a real kernel, made through /dev/uhid: the kernel gives
 * it a hidraw node like the real one, and this program plays the device.
 *
 *   uhid-display [-i VVVV:PPPP] [-k] [-u] [-n] [-a] [-t STAMPS] -l LOG -c FIFO
 *
 *   -i  the display's identity (default 0483:5750)
 *   -k  a keyboard-like device first, so it takes the earlier hidraw node
 *   -u  a uinput keyboard too, for "key CODE" commands
 *   -n  start with the display unplugged
 *   -a  answer every output report with the acknowledgement 04 AA 02
 *   -l  log: one line per event, "display|keyboard open|close|output HEX"
 *   -t  the log's lines and the display's plugs and unplugs again, each
 *       after the time it happened (CLOCK_MONOTONIC, seconds): "T display plug"
 *   -c  command fifo, one command a line: plug, unplug, key CODE, quit
 *
 * Prints "ready" on stdout once every device exists.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <linux/uhid.h>
#include <linux/uinput.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "fifo-lines.h"
#include "uinput-device.h"

enum { REPORT_ID = 4, REPORT_SIZE = 38 };

/* Vendor page, Report ID 4: 37 bytes in each direction after the ID. */
static const unsigned char display_rd[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, REPORT_ID,
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, REPORT_SIZE - 1,
    0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0,
};

/* A boot keyboard. */
static const unsigned char keyboard_rd[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01,
    0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,
    0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65,
    0x81, 0x00, 0xC0,
};

struct device {
    const char *name;
    int fd;             /* /dev/uhid, -1 while unplugged */
    unsigned vendor, product;
    const unsigned char *rd;
    size_t rd_size;
};

static int log_fd = -1;
static int stamp_fd = -1;
static int answer;

static void die(const char *what)
{
    perror(what);
    exit(1);
}

/* One write per line, so a reader never sees half an event. */
static void write_line(int fd, const char *line, int n, const char *what)
{
    if (write(fd, line, (size_t)n) != n)
        die(what);
}

static void stamp(const char *text)
{
    struct timespec now;
    char line[300];
    if (stamp_fd < 0)
        return;
    if (clock_gettime(CLOCK_MONOTONIC, &now) < 0)
        die("clock_gettime");
    int n = snprintf(line, sizeof line, "%lld.%06ld %s\n", (long long)now.tv_sec, now.tv_nsec / 1000, text);
    if (n < 0 || n >= (int)sizeof line)
        n = sizeof line - 1;
    write_line(stamp_fd, line, n, "stamps");
}

static void record(const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0 || n > (int)sizeof line - 2)
        n = sizeof line - 2;
    line[n] = 0;
    stamp(line);
    line[n++] = '\n';
    write_line(log_fd, line, n, "log");
}

static int write_event(int fd, const struct uhid_event *ev)
{
    ssize_t r = write(fd, ev, sizeof *ev);
    if (r < 0)
        return -1;
    if (r != (ssize_t)sizeof *ev) {
        errno = EIO;
        return -1;
    }
    return 0;
}

static void plug(struct device *d)
{
    struct uhid_event ev;
    d->fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (d->fd < 0)
        die("/dev/uhid");
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    snprintf((char *)ev.u.create2.name, sizeof ev.u.create2.name, "uhid %s", d->name);
    ev.u.create2.rd_size = (unsigned short)d->rd_size;
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = d->vendor;
    ev.u.create2.product = d->product;
    memcpy(ev.u.create2.rd_data, d->rd, d->rd_size);
    stamp(d->rd == display_rd ? "display plug" : "keyboard plug");
    if (write_event(d->fd, &ev) < 0)
        die("UHID_CREATE2");
}

/* The kernel names hidraw nodes in the order devices finish probing: the
 * keyboard must have its node before the display is made. */
static void await_node(const struct device *d)
{
    char pattern[128];
    snprintf(pattern, sizeof pattern, "/sys/devices/virtual/misc/uhid/0003:%04X:%04X.*/hidraw/hidraw*",
             d->vendor, d->product);
    for (int tries = 0; tries < 500; ++tries) {
        glob_t g;
        int found = glob(pattern, 0, NULL, &g) == 0;
        globfree(&g);
        if (found)
            return;
        usleep(10000);
    }
    fprintf(stderr, "no hidraw node for %s\n", d->name);
    exit(1);
}

static void unplug(struct device *d)
{
    struct uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    stamp(d->rd == display_rd ? "display unplug" : "keyboard unplug");
    if (write_event(d->fd, &ev) < 0)
        die("UHID_DESTROY");
    close(d->fd);
    d->fd = -1;
}

static void acknowledge(struct device *d)
{
    struct uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_INPUT2;
    /* The kernel drops an input shorter than the descriptor's report. */
    ev.u.input2.size = REPORT_SIZE;
    ev.u.input2.data[0] = REPORT_ID;
    ev.u.input2.data[1] = 0xAA;
    ev.u.input2.data[2] = 0x02;
    if (write_event(d->fd, &ev) < 0)
        die("UHID_INPUT2");
}

static void handle(struct device *d)
{
    struct uhid_event ev;
    ssize_t r = read(d->fd, &ev, sizeof ev);
    if (r < 0)
        die("read /dev/uhid");
    switch (ev.type) {
    case UHID_OPEN:
        record("%s open", d->name);
        break;
    case UHID_CLOSE:
        record("%s close", d->name);
        break;
    case UHID_OUTPUT: {
        char hex[2 * UHID_DATA_MAX + 1];
        unsigned size = ev.u.output.size < UHID_DATA_MAX ? ev.u.output.size : UHID_DATA_MAX;
        for (unsigned i = 0; i < size; ++i)
            sprintf(hex + 2 * i, "%02x", ev.u.output.data[i]);
        hex[2 * size] = 0;
        record("%s output %.200s", d->name, hex);
        if (answer && d->rd == display_rd)
            acknowledge(d);
        break;
    }
    case UHID_GET_REPORT: {
        /* Nothing to report: answer at once rather than let the kernel wait. */
        struct uhid_event reply;
        memset(&reply, 0, sizeof reply);
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = ev.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
        if (write_event(d->fd, &reply) < 0)
            die("UHID_GET_REPORT_REPLY");
        break;
    }
    case UHID_SET_REPORT: {
        struct uhid_event reply;
        memset(&reply, 0, sizeof reply);
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = ev.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
        if (write_event(d->fd, &reply) < 0)
            die("UHID_SET_REPORT_REPLY");
        break;
    }
    default:
        break;
    }
}

static int make_uinput(void)
{
    int fd = uinput_keyboard("uinput keyboard", 0x0104);
    if (fd < 0)
        die("uinput keyboard");
    return fd;
}

static void press(int fd, int key)
{
    if (uinput_press(fd, key) < 0)
        die("uinput write");
}

int main(int argc, char **argv)
{
    struct device display = {"display", -1, 0x0483, 0x5750, display_rd, sizeof display_rd};
    struct device keyboard = {"keyboard", -1, 0x046d, 0xc31c, keyboard_rd, sizeof keyboard_rd};
    const char *log_path = NULL, *fifo_path = NULL, *stamp_path = NULL;
    int with_keyboard = 0, with_uinput = 0, unplugged = 0, opt;

    while ((opt = getopt(argc, argv, "i:kunal:c:t:")) != -1) {
        switch (opt) {
        case 'i':
            if (sscanf(optarg, "%x:%x", &display.vendor, &display.product) != 2) {
                fprintf(stderr, "-i wants VVVV:PPPP\n");
                return 2;
            }
            break;
        case 'k': with_keyboard = 1; break;
        case 'u': with_uinput = 1; break;
        case 'n': unplugged = 1; break;
        case 'a': answer = 1; break;
        case 'l': log_path = optarg; break;
        case 'c': fifo_path = optarg; break;
        case 't': stamp_path = optarg; break;
        default: return 2;
        }
    }
    if (!log_path || !fifo_path) {
        fprintf(stderr, "usage: %s [-i VVVV:PPPP] [-k] [-u] [-n] [-a] [-t STAMPS] -l LOG -c FIFO\n", argv[0]);
        return 2;
    }
    log_fd = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0)
        die(log_path);
    if (stamp_path) {
        stamp_fd = open(stamp_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (stamp_fd < 0)
            die(stamp_path);
    }
    struct fifo_lines commands;
    if (fifo_open(&commands, fifo_path) < 0)
        die(fifo_path);

    int uinput = with_uinput ? make_uinput() : -1;
    if (with_keyboard) {
        plug(&keyboard);
        await_node(&keyboard);
    }
    if (!unplugged)
        plug(&display);
    printf("ready\n");
    fflush(stdout);

    for (;;) {
        struct pollfd fds[3] = {
            {commands.fd, POLLIN, 0},
            {display.fd, POLLIN, 0},
            {keyboard.fd, POLLIN, 0},
        };
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        if (fds[1].revents & POLLIN)
            handle(&display);
        if (fds[2].revents & POLLIN)
            handle(&keyboard);
        if (!(fds[0].revents & POLLIN))
            continue;
        if (fifo_fill(&commands) < 0)
            die("command fifo");
        int quit = 0;
        char *line;
        while (!quit && (line = fifo_next(&commands))) {
            int key;
            if (strcmp(line, "plug") == 0 && display.fd < 0)
                plug(&display);
            else if (strcmp(line, "unplug") == 0 && display.fd >= 0)
                unplug(&display);
            else if (sscanf(line, "key %d", &key) == 1 && uinput >= 0)
                press(uinput, key);
            else if (strcmp(line, "quit") == 0)
                quit = 1;
            else
                fprintf(stderr, "ignored command: %s\n", line);
        }
        if (quit)
            break;
    }
    if (display.fd >= 0)
        unplug(&display);
    if (keyboard.fd >= 0)
        unplug(&keyboard);
    if (uinput >= 0 && ioctl(uinput, UI_DEV_DESTROY) < 0)
        die("UI_DEV_DESTROY");
    return 0;
}
