// Runs hidraw calls one stdin line at a time and prints what each returned,
// so that a test can drive a process that has the preloaded sim.
//   open N        -> open N RESULT ERRNO
//   info FD       -> info RESULT ERRNO BUS VENDOR PRODUCT   (hex ids)
//   write FD LEN  -> write RESULT ERRNO   (a brightness report padded to LEN)
//   nonblock FD   -> nonblock RESULT
//   read FD       -> read RESULT ERRNO HEX
//   close FD      -> close RESULT
#include <linux/hidraw.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        char cmd[32] = {};
        int a = 0;
        int b = 0;
        const int n = sscanf(line, "%31s %d %d", cmd, &a, &b);
        if (n < 1)
            continue;
        if (!strcmp(cmd, "open")) {
            char path[32];
            snprintf(path, sizeof path, "/dev/hidraw%d", a);
            errno = 0;
            const int fd = open(path, O_RDWR);
            printf("open %d %d %d\n", a, fd, fd < 0 ? errno : 0);
        } else if (!strcmp(cmd, "info")) {
            hidraw_devinfo info{};
            errno = 0;
            const int r = ioctl(a, HIDIOCGRAWINFO, &info);
            printf("info %d %d %u %04x %04x\n", r, r < 0 ? errno : 0, info.bustype,
                   static_cast<unsigned short>(info.vendor), static_cast<unsigned short>(info.product));
        } else if (!strcmp(cmd, "write") && n == 3 && b > 0 && b <= 4096) {
            unsigned char buf[4096] = {0x04, 0xAA, 0x01, 0x00, 0x00, 0x00, 0x40};
            errno = 0;
            const ssize_t r = write(a, buf, static_cast<size_t>(b));
            printf("write %zd %d\n", r, r < 0 ? errno : 0);
        } else if (!strcmp(cmd, "nonblock")) {
            printf("nonblock %d\n", fcntl(a, F_SETFL, O_NONBLOCK));
        } else if (!strcmp(cmd, "read")) {
            unsigned char buf[64];
            errno = 0;
            const ssize_t r = read(a, buf, sizeof buf);
            printf("read %zd %d ", r, r < 0 ? errno : 0);
            for (ssize_t i = 0; i < r; ++i)
                printf("%02x", buf[i]);
            printf("\n");
        } else if (!strcmp(cmd, "close")) {
            printf("close %d\n", close(a));
        } else {
            printf("error\n");
        }
    }
    return 0;
}
