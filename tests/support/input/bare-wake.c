/*
 * The yardstick for the idle watcher's wake: the least a program can do to
 * light the display at a touch. Reads one evdev node and, at each touch
 * down, writes the brightness report for LEVEL percent to the hidraw node.
 *
 *   bare-wake EVDEV HIDRAW LEVEL
 */
#include <fcntl.h>
#include <linux/input.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s EVDEV HIDRAW LEVEL\n", argv[0]);
        return 2;
    }
    int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    int out = open(argv[2], O_RDWR | O_CLOEXEC);
    if (in < 0 || out < 0) {
        perror("open");
        return 1;
    }
    /* The display's report: ID 4, command AA 01, the level in byte 6. */
    unsigned char report[38] = {0x04, 0xAA, 0x01};
    report[6] = (unsigned char)atoi(argv[3]);
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        struct input_event ev[64];
        ssize_t n = read(in, ev, sizeof ev);
        if (n <= 0) {
            perror("read");
            return 1;
        }
        for (size_t i = 0; i < (size_t)n / sizeof ev[0]; ++i) {
            if (ev[i].type == EV_KEY && ev[i].code == BTN_TOUCH && ev[i].value == 1
                && write(out, report, sizeof report) != (ssize_t)sizeof report) {
                perror("write");
                return 1;
            }
        }
    }
}
