#define _GNU_SOURCE
#include "uinput-device.h"

#include <fcntl.h>
#include <linux/uinput.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int uinput_create(int fd, const char *name, unsigned short product)
{
    struct uinput_setup setup;
    memset(&setup, 0, sizeof setup);
    setup.id.bustype = BUS_USB;
    setup.id.vendor = 0x1d6b;
    setup.id.product = product;
    snprintf(setup.name, sizeof setup.name, "%s", name);
    if (ioctl(fd, UI_DEV_SETUP, &setup) < 0 || ioctl(fd, UI_DEV_CREATE) < 0)
        return -1;
    return 0;
}

static int set_keys(int fd, int first, int last)
{
    for (int key = first; key <= last; ++key)
        if (ioctl(fd, UI_SET_KEYBIT, key) < 0)
            return -1;
    return 0;
}

int uinput_keyboard(const char *name, unsigned short product)
{
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    /* LEDs, as on a real keyboard: programs set them, and every reader
     * sees it. */
    if (ioctl(fd, UI_SET_EVBIT, EV_KEY) < 0 || set_keys(fd, KEY_ESC, KEY_KPDOT) < 0
        || set_keys(fd, KEY_UP, KEY_DELETE) < 0 || ioctl(fd, UI_SET_EVBIT, EV_LED) < 0
        || ioctl(fd, UI_SET_LEDBIT, LED_CAPSL) < 0 || uinput_create(fd, name, product) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int uinput_emit(int fd, int type, int code, int value)
{
    struct input_event ie;
    memset(&ie, 0, sizeof ie);
    ie.type = (unsigned short)type;
    ie.code = (unsigned short)code;
    ie.value = value;
    return write(fd, &ie, sizeof ie) == (ssize_t)sizeof ie ? 0 : -1;
}

int uinput_press(int fd, int key)
{
    if (uinput_emit(fd, EV_KEY, key, 1) < 0 || uinput_emit(fd, EV_SYN, SYN_REPORT, 0) < 0
        || uinput_emit(fd, EV_KEY, key, 0) < 0 || uinput_emit(fd, EV_SYN, SYN_REPORT, 0) < 0)
        return -1;
    return 0;
}
