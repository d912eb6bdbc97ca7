/*
 * A person at the kiosk for a real kernel, made through /dev/uinput: a
 * multitouch screen and a keyboard, driven by commands.
 *
 *   uinput-person [-k] [-r LOG] -c FIFO
 *
 *   -k  the keyboard at start (else on the command "plug")
 *   -r  a second reader on the touch screen, opened before any touch:
 *       "reader down|up|other SEC.NSEC" per event, kernel time (monotonic)
 *   -c  command fifo, one command a line: touch (finger down), lift,
 *       tap (down and up), key CODE (press and release), press CODE,
 *       plug (the keyboard), hold and unhold (the reader grabs the screen
 *       and lets it go), probe (logs "probe busy" while another program
 *       holds the screen, else "probe free"), wait MS (the person
 *       sleeps: a touch that follows lands on a quiet machine),
 *       sensor (a presence sensor as the gpio-key overlay makes one: one
 *       key and nothing else), sense 1|0 (it reports someone, or no one),
 *       sprobe (logs "sprobe busy|free" for the sensor as probe does), quit
 *
 * Prints "ready TOUCH_NODE" on stdout once the screen (and keyboard) exist,
 * and "keyboard KEYBOARD_NODE" once a plugged keyboard does.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <linux/uinput.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "fifo-lines.h"
#include "uinput-device.h"

static void die(const char *what)
{
    perror(what);
    exit(1);
}

static void check(int result, const char *what)
{
    if (result < 0)
        die(what);
}

static void emit(int fd, int type, int code, int value)
{
    check(uinput_emit(fd, type, code, value), "uinput write");
}

static void axis(int fd, int code, int max)
{
    struct uinput_abs_setup abs;
    memset(&abs, 0, sizeof abs);
    abs.code = (unsigned short)code;
    abs.absinfo.maximum = max;
    check(ioctl(fd, UI_SET_ABSBIT, code), "UI_SET_ABSBIT");
    check(ioctl(fd, UI_ABS_SETUP, &abs), "UI_ABS_SETUP");
}

static void create(int fd, const char *name, unsigned short product)
{
    check(uinput_create(fd, name, product), "UI_DEV_CREATE");
}

/* A direct touch screen, multitouch protocol B with ten slots. */
static int make_touch(void)
{
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    check(fd, "/dev/uinput");
    check(ioctl(fd, UI_SET_EVBIT, EV_KEY), "UI_SET_EVBIT");
    check(ioctl(fd, UI_SET_KEYBIT, BTN_TOUCH), "UI_SET_KEYBIT");
    check(ioctl(fd, UI_SET_EVBIT, EV_ABS), "UI_SET_EVBIT");
    check(ioctl(fd, UI_SET_PROPBIT, INPUT_PROP_DIRECT), "UI_SET_PROPBIT");
    axis(fd, ABS_X, 799);
    axis(fd, ABS_Y, 479);
    axis(fd, ABS_MT_SLOT, 9);
    axis(fd, ABS_MT_TRACKING_ID, 65535);
    axis(fd, ABS_MT_POSITION_X, 799);
    axis(fd, ABS_MT_POSITION_Y, 479);
    create(fd, "uinput touch screen", 0x0105);
    return fd;
}

static int make_keyboard(void)
{
    int fd = uinput_keyboard("uinput person keyboard", 0x0106);
    check(fd, "uinput keyboard");
    return fd;
}

/* What the gpio-key overlay makes of a PIR sensor: one key (here
 * KEY_WAKEUP, the overlay's keycode=143), down while it senses someone. */
static int make_sensor(void)
{
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    check(fd, "/dev/uinput");
    check(ioctl(fd, UI_SET_EVBIT, EV_KEY), "UI_SET_EVBIT");
    check(ioctl(fd, UI_SET_KEYBIT, KEY_WAKEUP), "UI_SET_KEYBIT");
    create(fd, "gpio_keys", 0x0107);
    return fd;
}

/* The evdev node of a uinput device, once udev or devtmpfs made it. */
static void node_of(int fd, char *node, size_t size)
{
    char sysname[64], pattern[160];
    check(ioctl(fd, UI_GET_SYSNAME(sizeof sysname), sysname), "UI_GET_SYSNAME");
    snprintf(pattern, sizeof pattern, "/sys/devices/virtual/input/%s/event*", sysname);
    for (int tries = 0; tries < 500; ++tries) {
        glob_t g;
        if (glob(pattern, 0, NULL, &g) == 0) {
            snprintf(node, size, "/dev/input/%s", strrchr(g.gl_pathv[0], '/') + 1);
            globfree(&g);
            if (access(node, F_OK) == 0)
                return;
        }
        usleep(10000);
    }
    fprintf(stderr, "no event node for %s\n", sysname);
    exit(1);
}

static unsigned tracking;

static void finger(int fd, int down)
{
    emit(fd, EV_ABS, ABS_MT_SLOT, 0);
    emit(fd, EV_ABS, ABS_MT_TRACKING_ID, down ? (int)(++tracking & 0xffff) : -1);
    if (down) {
        emit(fd, EV_ABS, ABS_MT_POSITION_X, 400);
        emit(fd, EV_ABS, ABS_MT_POSITION_Y, 240);
        emit(fd, EV_ABS, ABS_X, 400);
        emit(fd, EV_ABS, ABS_Y, 240);
    }
    emit(fd, EV_KEY, BTN_TOUCH, down);
    emit(fd, EV_SYN, SYN_REPORT, 0);
}

static void key(int fd, int code, int value)
{
    emit(fd, EV_KEY, code, value);
    emit(fd, EV_SYN, SYN_REPORT, 0);
}

static void read_reader(int fd, FILE *log)
{
    struct input_event ev[64];
    ssize_t n = read(fd, ev, sizeof ev);
    if (n < 0)
        die("reader");
    for (size_t i = 0; i < (size_t)n / sizeof ev[0]; ++i) {
        if (ev[i].type == EV_SYN)
            continue;
        const char *what = ev[i].type == EV_KEY && ev[i].code == BTN_TOUCH ? (ev[i].value ? "down" : "up") : "other";
        fprintf(log, "reader %s %ld.%09ld\n", what, (long)ev[i].input_event_sec, (long)ev[i].input_event_usec * 1000);
    }
    fflush(log);
}

static void probe(int reader, FILE *log)
{
    if (ioctl(reader, EVIOCGRAB, 1) == 0) {
        /* Answered before the release, which waits for an RCU grace
         * period: on a loaded emulated machine that is the slow part. */
        fprintf(log, "probe free\n");
        fflush(log);
        check(ioctl(reader, EVIOCGRAB, 0), "EVIOCGRAB");
    } else if (errno == EBUSY) {
        fprintf(log, "probe busy\n");
    } else {
        die("EVIOCGRAB");
    }
    fflush(log);
}

static int sensor = -1, sensor_reader = -1;

static int command(char *line, int touch, int *keyboard, int reader, FILE *log)
{
    int code;
    if (reader >= 0 && strcmp(line, "probe") == 0)
        probe(reader, log);
    else if (sensor_reader >= 0 && log && strcmp(line, "sprobe") == 0) {
        fprintf(log, "s");
        probe(sensor_reader, log);
    } else if (strcmp(line, "sensor") == 0 && sensor < 0) {
        char node[64];
        sensor = make_sensor();
        node_of(sensor, node, sizeof node);
        sensor_reader = open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        check(sensor_reader, node);
        printf("sensor %s\n", node);
        fflush(stdout);
    } else if (sscanf(line, "sense %d", &code) == 1 && sensor >= 0)
        key(sensor, KEY_WAKEUP, code != 0);
    else if (reader >= 0 && strcmp(line, "hold") == 0)
        check(ioctl(reader, EVIOCGRAB, 1), "EVIOCGRAB");
    else if (reader >= 0 && strcmp(line, "unhold") == 0)
        check(ioctl(reader, EVIOCGRAB, 0), "EVIOCGRAB");
    else if (strcmp(line, "touch") == 0)
        finger(touch, 1);
    else if (strcmp(line, "lift") == 0)
        finger(touch, 0);
    else if (strcmp(line, "tap") == 0) {
        finger(touch, 1);
        finger(touch, 0);
    } else if (sscanf(line, "key %d", &code) == 1 && *keyboard >= 0) {
        key(*keyboard, code, 1);
        key(*keyboard, code, 0);
    } else if (sscanf(line, "press %d", &code) == 1 && *keyboard >= 0) {
        key(*keyboard, code, 1);
    } else if (sscanf(line, "wait %d", &code) == 1 && code >= 0) {
        usleep((useconds_t)code * 1000);
    } else if (strcmp(line, "plug") == 0 && *keyboard < 0) {
        char node[64];
        *keyboard = make_keyboard();
        node_of(*keyboard, node, sizeof node);
        printf("keyboard %s\n", node);
        fflush(stdout);
    } else if (strcmp(line, "quit") == 0) {
        return 0;
    } else {
        fprintf(stderr, "ignored command: %s\n", line);
    }
    return 1;
}

int main(int argc, char **argv)
{
    const char *fifo_path = NULL, *reader_path = NULL;
    int with_keyboard = 0, opt;
    while ((opt = getopt(argc, argv, "kr:c:")) != -1) {
        switch (opt) {
        case 'k': with_keyboard = 1; break;
        case 'r': reader_path = optarg; break;
        case 'c': fifo_path = optarg; break;
        default: return 2;
        }
    }
    if (!fifo_path) {
        fprintf(stderr, "usage: %s [-k] [-r LOG] -c FIFO\n", argv[0]);
        return 2;
    }
    struct fifo_lines commands;
    check(fifo_open(&commands, fifo_path), fifo_path);

    char node[64];
    int touch = make_touch();
    node_of(touch, node, sizeof node);
    int keyboard = with_keyboard ? make_keyboard() : -1;
    int reader = -1;
    FILE *log = NULL;
    if (reader_path) {
        log = fopen(reader_path, "a");
        if (!log)
            die(reader_path);
        reader = open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        check(reader, node);
        int clock = CLOCK_MONOTONIC;
        check(ioctl(reader, EVIOCSCLOCKID, &clock), "EVIOCSCLOCKID");
    }
    printf("ready %s\n", node);
    fflush(stdout);

    for (int running = 1; running;) {
        struct pollfd fds[2] = {{commands.fd, POLLIN, 0}, {reader, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        if (fds[1].revents & POLLIN)
            read_reader(reader, log);
        if (!(fds[0].revents & POLLIN))
            continue;
        check(fifo_fill(&commands), "command fifo");
        char *line;
        while (running && (line = fifo_next(&commands)))
            running = command(line, touch, &keyboard, reader, log);
    }
    check(ioctl(touch, UI_DEV_DESTROY), "UI_DEV_DESTROY");
    if (keyboard >= 0)
        check(ioctl(keyboard, UI_DEV_DESTROY), "UI_DEV_DESTROY");
    if (sensor >= 0)
        check(ioctl(sensor, UI_DEV_DESTROY), "UI_DEV_DESTROY");
    return 0;
}
