/*
 * A USB ambient light sensor for a real kernel, made through /dev/uhid: a
 * HID sensor collection that the kernel's hid-sensor-hub and hid-sensor-als
 * drivers bind, giving an IIO device as a USB sensor does.
 *
 *   uhid-als [-x LUX] -l LOG -c FIFO
 *
 *   -x  the first reading, in lux (default 100)
 *   -l  log: one line per request of the kernel, "get input 42",
 *       "set feature 01140002", "get feature 01140002"
 *   -c  command fifo, one command a line: lux N, plug, unplug, quit
 *
 * Prints "ready" on stdout once the device exists. The kernel reads the
 * illuminance by asking for the input report, so each reading is answered
 * with the lux in force; a change is also sent as an input report, as a
 * sensor reporting on change does.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fifo-lines.h"

enum { FEATURE_ID = 1, INPUT_ID = 2, FEATURE_SIZE = 5, INPUT_SIZE = 5 };

/* Usage page Sensor (0x20), one application collection of usage Ambient
 * Light (0x41): a feature report with the report interval (0x030E, ms), the
 * reporting state (0x0316) and the power state (0x0319), the two selectors
 * as plain values; an input report with the illuminance (0x04D1, lux). */
static const unsigned char als_rd[] = {
    0x05, 0x20, 0x09, 0x41, 0xA1, 0x01,
    0x85, FEATURE_ID,
    0x0A, 0x0E, 0x03, 0x15, 0x00, 0x27, 0xFF, 0xFF, 0x00, 0x00, 0x75, 0x10, 0x95, 0x01, 0xB1, 0x02,
    0x0A, 0x16, 0x03, 0x15, 0x00, 0x25, 0x06, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02,
    0x0A, 0x19, 0x03, 0x15, 0x00, 0x25, 0x06, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02,
    0x85, INPUT_ID,
    0x0A, 0xD1, 0x04, 0x15, 0x00, 0x27, 0xFF, 0xFF, 0xFF, 0x00, 0x75, 0x20, 0x95, 0x01, 0x81, 0x02,
    0xC0,
};

static int log_fd = -1;
static int dev = -1;
static unsigned lux = 100;
/* ID, interval 20 ms (a reading waits twice that after power-up), both
 * selectors at their first value. */
static unsigned char feature[FEATURE_SIZE] = {FEATURE_ID, 20, 0, 1, 1};

static void die(const char *what)
{
    perror(what);
    exit(1);
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
    line[n++] = '\n';
    if (write(log_fd, line, (size_t)n) != n)
        die("log");
}

static void send_event(const struct uhid_event *ev, const char *what)
{
    ssize_t r = write(dev, ev, sizeof *ev);
    if (r != (ssize_t)sizeof *ev) {
        if (r >= 0)
            errno = EIO;
        die(what);
    }
}

static void input_report(unsigned char *out)
{
    out[0] = INPUT_ID;
    for (int i = 0; i < 4; ++i)
        out[1 + i] = (unsigned char)(lux >> (8 * i));
}

static void hex(const unsigned char *data, unsigned size, char *out)
{
    for (unsigned i = 0; i < size; ++i)
        sprintf(out + 2 * i, "%02x", data[i]);
    out[2 * size] = 0;
}

static void plug(void)
{
    struct uhid_event ev;
    dev = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (dev < 0)
        die("/dev/uhid");
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    snprintf((char *)ev.u.create2.name, sizeof ev.u.create2.name, "uhid light sensor");
    ev.u.create2.rd_size = sizeof als_rd;
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = 0x1209;
    ev.u.create2.product = 0x0a15;
    memcpy(ev.u.create2.rd_data, als_rd, sizeof als_rd);
    send_event(&ev, "UHID_CREATE2");
}

static void unplug(void)
{
    struct uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    send_event(&ev, "UHID_DESTROY");
    close(dev);
    dev = -1;
}

static void changed(void)
{
    struct uhid_event ev;
    if (dev < 0)
        return;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_INPUT2;
    ev.u.input2.size = INPUT_SIZE;
    input_report(ev.u.input2.data);
    send_event(&ev, "UHID_INPUT2");
}

static void handle(void)
{
    struct uhid_event ev, reply;
    char text[2 * UHID_DATA_MAX + 1];
    ssize_t r = read(dev, &ev, sizeof ev);
    if (r < 0)
        die("read /dev/uhid");
    memset(&reply, 0, sizeof reply);
    switch (ev.type) {
    case UHID_GET_REPORT: {
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = ev.u.get_report.id;
        unsigned char *data = reply.u.get_report_reply.data;
        if (ev.u.get_report.rtype == UHID_FEATURE_REPORT && ev.u.get_report.rnum == FEATURE_ID) {
            memcpy(data, feature, FEATURE_SIZE);
            reply.u.get_report_reply.size = FEATURE_SIZE;
            hex(feature, FEATURE_SIZE, text);
            record("get feature %s", text);
        } else if (ev.u.get_report.rtype == UHID_INPUT_REPORT && ev.u.get_report.rnum == INPUT_ID) {
            input_report(data);
            reply.u.get_report_reply.size = INPUT_SIZE;
            record("get input %u", lux);
        } else {
            reply.u.get_report_reply.err = EIO;
            record("get unknown %u %u", ev.u.get_report.rtype, ev.u.get_report.rnum);
        }
        send_event(&reply, "UHID_GET_REPORT_REPLY");
        break;
    }
    case UHID_SET_REPORT: {
        unsigned size = ev.u.set_report.size < UHID_DATA_MAX ? ev.u.set_report.size : UHID_DATA_MAX;
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = ev.u.set_report.id;
        if (ev.u.set_report.rtype == UHID_FEATURE_REPORT && ev.u.set_report.rnum == FEATURE_ID
            && size == FEATURE_SIZE) {
            memcpy(feature, ev.u.set_report.data, FEATURE_SIZE);
            hex(feature, FEATURE_SIZE, text);
            record("set feature %s", text);
        } else {
            reply.u.set_report_reply.err = EIO;
            hex(ev.u.set_report.data, size, text);
            record("set unknown %u %u %.64s", ev.u.set_report.rtype, ev.u.set_report.rnum, text);
        }
        send_event(&reply, "UHID_SET_REPORT_REPLY");
        break;
    }
    case UHID_OPEN: record("open"); break;
    case UHID_CLOSE: record("close"); break;
    default: break;
    }
}

int main(int argc, char **argv)
{
    const char *log_path = NULL, *fifo_path = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "x:l:c:")) != -1) {
        switch (opt) {
        case 'x': lux = (unsigned)strtoul(optarg, NULL, 10); break;
        case 'l': log_path = optarg; break;
        case 'c': fifo_path = optarg; break;
        default: return 2;
        }
    }
    if (!log_path || !fifo_path) {
        fprintf(stderr, "usage: %s [-x LUX] -l LOG -c FIFO\n", argv[0]);
        return 2;
    }
    log_fd = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0)
        die(log_path);
    struct fifo_lines commands;
    if (fifo_open(&commands, fifo_path) < 0)
        die(fifo_path);
    plug();
    printf("ready\n");
    fflush(stdout);

    for (;;) {
        struct pollfd fds[2] = {{commands.fd, POLLIN, 0}, {dev, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        if (fds[1].revents & POLLIN)
            handle();
        if (!(fds[0].revents & POLLIN))
            continue;
        if (fifo_fill(&commands) < 0)
            die("command fifo");
        int quit = 0;
        char *line;
        while (!quit && (line = fifo_next(&commands))) {
            unsigned value;
            if (sscanf(line, "lux %u", &value) == 1) {
                lux = value;
                record("lux %u", lux);
                changed();
            } else if (strcmp(line, "plug") == 0 && dev < 0) {
                plug();
            } else if (strcmp(line, "unplug") == 0 && dev >= 0) {
                unplug();
            } else if (strcmp(line, "quit") == 0) {
                quit = 1;
            } else {
                fprintf(stderr, "ignored command: %s\n", line);
            }
        }
        if (quit)
            break;
    }
    if (dev >= 0)
        unplug();
    return 0;
}
