/* The floor for `brightness-ctl set`: open the node, write one 38-byte
   brightness report (50 percent), exit. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    unsigned char report[38] = {0x04, 0xAA, 0x01, 0x00, 0x00, 0x00, 50};
    const int fd = open(argc > 1 ? argv[1] : "/dev/hidraw0", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror("open");
        return 1;
    }
    if (write(fd, report, sizeof report) != (ssize_t)sizeof report) {
        perror("write");
        return 1;
    }
    return close(fd) == 0 ? 0 : 1;
}
