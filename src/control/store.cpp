#include "control/store.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace control {

namespace {

// Far more than any real record; a larger file is not one of ours.
const off_t maxRecordSize = 64 * 1024;

std::string failed(const std::string &what, const std::string &path, int err)
{
    return what + ' ' + path + ": " + std::strerror(err);
}

bool writeAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

Store::Store(const std::string &dir)
    : dir(dir)
{
}

Store::~Store()
{
    unlock();
}

bool Store::lock(std::string *why, int waitMs)
{
    if (dirFd >= 0)
        return true;
    dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    lockRefused = dirFd < 0 && (errno == EACCES || errno == EPERM);
    if (lockRefused) {
        *why = failed("cannot write in", dir, errno);
        return false;
    }
    if (dirFd < 0) {
        *why = failed("cannot open", dir, errno);
        return false;
    }
    for (int waited = 0;; waited += 10) {
        if (flock(dirFd, LOCK_EX | LOCK_NB) == 0)
            return true;
        const int err = errno;
        if ((err != EWOULDBLOCK && err != EINTR) || waited >= waitMs) {
            *why = err == EWOULDBLOCK ? dir + " is held by another process" : failed("cannot lock", dir, err);
            close(dirFd);
            dirFd = -1;
            return false;
        }
        const timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

void Store::unlock()
{
    // Closing the descriptor drops the lock.
    if (dirFd >= 0)
        close(dirFd);
    dirFd = -1;
}

bool Store::read(Record *record, std::string *why) const
{
    const std::string path = file();
    // The directory is writable by a group: whatever sits at the name is
    // opened without following a link or waiting on a FIFO, and must be a
    // plain file of a sane size.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            *record = Record();
            return true;
        }
        *why = failed("cannot read", path, errno);
        return false;
    }
    struct stat st;
    std::string text;
    bool ok = fstat(fd, &st) == 0;
    if (!ok)
        *why = failed("cannot read", path, errno);
    else if (!S_ISREG(st.st_mode) || st.st_size > maxRecordSize) {
        *why = path + " is not a record file";
        ok = false;
    }
    char buf[4096];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = failed("cannot read", path, errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (text.size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(maxRecordSize)) {
            *why = path + " is not a record file";
            ok = false;
        } else {
            text.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    if (ok && !parseRecord(text, record)) {
        *why = path + " is not a record file";
        ok = false;
    }
    return ok;
}

bool Store::write(const Record &record, bool durable, std::string *why) const
{
    const std::string path = file();
    // Writers hold the lock, so a temporary file found now was left by one
    // that was killed before its rename.
    // Every entry must be seen: a scan that stops early on an error (such as
    // EOVERFLOW from a 32-bit build without large-file support) would leave
    // them to pile up, so it fails the write instead.
    DIR *d = opendir(dir.c_str());
    if (!d) {
        *why = failed("cannot read", dir, errno);
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (!e)
            break;
        if (std::strncmp(e->d_name, ".levels.", 8) == 0)
            unlinkat(dirfd(d), e->d_name, 0);
    }
    const int scanError = errno;
    closedir(d);
    if (scanError) {
        *why = failed("cannot read", dir, scanError);
        return false;
    }
    std::string tmp = dir + "/.levels.XXXXXX";
    // mkstemp creates the name exclusively, so nothing planted in the
    // directory is followed.
    const int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) {
        *why = failed("cannot write in", dir, errno);
        return false;
    }
    // Readable by everyone, as the levels are no secret; the setgid
    // directory gives the file its group.
    if (!replaceFile(fd, tmp, path, formatRecord(record), durable, why))
        return false;
    // The directory is not flushed: a power cut right after the rename may
    // bring back the old record, which is whole, and flushing it would
    // double the cost of every set.
    return true;
}

bool replaceFile(int fd, const std::string &tmp, const std::string &path, const std::string &text, bool durable,
                 std::string *why)
{
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, text) && (!durable || fsync(fd) == 0);
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        *why = failed("cannot write", path, err);
    }
    return ok;
}

bool replaceSmallFile(const std::string &path, const std::string &text, std::string *why)
{
    const std::string tmp = path + ".new";
    unlink(tmp.c_str());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = failed("cannot write", tmp, errno);
        return false;
    }
    return replaceFile(fd, tmp, path, text, true, why);
}

} // namespace control
