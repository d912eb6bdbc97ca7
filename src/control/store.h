#ifndef CONTROL_STORE_H
#define CONTROL_STORE_H

// The record file, levels, in the state directory. Every process that sets a
// display reads, changes and replaces it while holding a lock on the
// directory, so two of them never lose each other's entries; readers need no
// lock because the file is only ever replaced whole, by rename. The package
// makes the directory 2771: only its owner and group, who may write the
// record, can open it and so take the lock; others still read the record
// by its name.

#include <string>

#include "control/values.h"

namespace control {

class Store
{
public:
    explicit Store(const std::string &dir);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Waits up to waitMs for the directory's lock: another writer may hold
    // it for good, and a restore at boot must not hang on that.
    bool lock(std::string *why, int waitMs = defaultLockWaitMs);
    void unlock();
    // The last lock failed because this user may not open the directory,
    // that is, may not write the record.
    bool refused() const { return lockRefused; }

    static const int defaultLockWaitMs = 2000;

    // A missing file reads as an empty record. False, with the reason, when
    // the file cannot be read or is not a record.
    bool read(Record *record, std::string *why) const;

    // Writes a temporary file beside the record and renames it over the
    // record, so that a reader or a crash finds the old text or the new,
    // never a mixture. durable: the new text reaches the disk before the
    // rename, so that a power cut cannot leave a renamed but empty file.
    // Call it holding the lock.
    bool write(const Record &record, bool durable, std::string *why) const;

    std::string file() const { return dir + "/levels"; }

private:
    std::string dir;
    int dirFd = -1;
    bool lockRefused = false;
};

// Writes TEXT into the temporary file open on FD (made 0644, flushed to disk
// when DURABLE), closes it and renames it over PATH; on failure TMP is
// removed and WHY says so.
bool replaceFile(int fd, const std::string &tmp, const std::string &path, const std::string &text, bool durable,
                 std::string *why);

// PATH replaced whole by TEXT, readable by everyone and flushed, through the
// fixed temporary PATH.new, created anew and never followed: the directory
// is group plugdev's to write.
bool replaceSmallFile(const std::string &path, const std::string &text, std::string *why);

} // namespace control

#endif
