#ifndef DEVICE_H
#define DEVICE_H

#include <QString>
#include <linux/hidraw.h>

class QSocketNotifier;

// The device handle: owns the identified display's descriptor, socket().
// Null until a search first identifies the display; replaced (and the old
// one closed) only when a later search identifies it again. GUI thread only.
extern QSocketNotifier *m_sn;
extern int fd;
extern struct hidraw_devinfo hidrawId;

// 1 when path is an accepted display, which then becomes the handle; 0 otherwise.
int penHidraw(QString path);

#endif
