/*
 * The uinput devices and events that the guest's programs make. Each call
 * returns -1 with errno set when the kernel refuses, so that the program
 * can say so its own way.
 */
#ifndef UINPUT_DEVICE_H
#define UINPUT_DEVICE_H

/* Makes the device on an open /dev/uinput whose bits are set: USB, vendor
 * 1d6b, this product and name. */
int uinput_create(int fd, const char *name, unsigned short product);

/* A keyboard as input handlers take one: every ordinary key, the arrows and
 * the Caps Lock LED. Returns the open device. */
int uinput_keyboard(const char *name, unsigned short product);

/* One event; uinput_press writes a key's press and release, each synced. */
int uinput_emit(int fd, int type, int code, int value);
int uinput_press(int fd, int key);

#endif
