// Simulated display for tests: stands in for the kernel's raw HID nodes
// /dev/hidraw0 .. /dev/hidraw9 by interposing the C library's open, open64,
// openat, ioctl, read, __read_chk, write, close and access (plus their
// fortified and 64-bit variants), and answers the nodes' sysfs identity
// files /sys/class/hidraw/hidrawN/device/uevent. Every other path and
// descriptor goes to the real libc.
//
// A simulated descriptor is a real AF_UNIX SOCK_SEQPACKET socket, so fcntl,
// poll and QSocketNotifier act on it honestly. The simulation keeps the other
// end to push input reports; writes from the program are recorded, never sent.
//
// Linked use: target_link_libraries(tst_x PRIVATE simhid) and drive it with
// the functions below (all thread-safe).
//
// Preloaded use (LD_PRELOAD=libsimhid_preload.so), driven by files:
//
//   SIMHID_CONFIG=<file>  the node table, one line per node; unlisted nodes (all
//                         of them without the variable or the file) are absent;
//                         '#' starts a comment line:
//                           N present BUS VENDOR PRODUCT [ack | writefail ERRNO]
//                               BUS decimal, VENDOR/PRODUCT hex (0483 or 0x0483),
//                               "ack" turns on the automatic acknowledgement,
//                               "writefail" makes every write fail
//                           N absent
//                           N openfail ERRNO      ERRNO decimal or a name (EACCES)
//                           N zero
//                           N identityfail ERRNO
//                           N unplugged
//                         The file is looked at (stat) on each hidraw open and on
//                         each call on a simulated descriptor and re-read when it
//                         changed; replace it atomically (write a temp, rename).
//                         Going to absent/unplugged acts like unplug(), going
//                         back to present like plug().
//   SIMHID_LOG=<file>     every event appended as one line (O_APPEND, one write):
//                           open N RESULT ERRNO          RESULT: fd, 0 or -1; ERRNO 0 on success
//                           ioctl N OK|FAIL              HIDIOCGRAWINFO only
//                           write N FD LEN BLOCKING HEX  LEN: what write returned (-1 on
//                                                        failure); BLOCKING 1|0; HEX: the
//                                                        bytes offered, lower case, no spaces
//                           close N FD
//                           read N RESULT                what read returned (-1 on failure)
//
// Semantics shared by both uses:
// - open of an absent or unplugged node fails with ENOENT; O_NONBLOCK and
//   O_CLOEXEC in the open flags are honoured.
// - read returns one whole queued report (truncated to the buffer), blocks or
//   fails EAGAIN like the socket does, and fails ENODEV once the node was
//   unplugged (also waking a reader blocked at that moment).
// - write returns the length (ENODEV after unplug, EINVAL below 2 or above
//   4096 bytes, like the kernel) and never blocks; no signal is ever raised.
// - ioctl HIDIOCGRAWINFO answers the node's identity; other 'H' requests
//   fail ENOTTY; anything else goes to the socket (FIONBIO, FIONREAD...).
// - After unplug the sim closes its end, so poll() shows POLLHUP.
// - /sys/class/hidraw/hidrawN/device/uevent opens (read-only, a pipe holding
//   the whole text) while the node exists and has been given an identity:
//   "DRIVER=hid-generic", "HID_ID=%04X:%08X:%08X" (bus, vendor, product) and
//   "HID_NAME=simulated", one per line; otherwise open fails ENOENT.
// - access() on a node: ENOENT when absent or unplugged; F_OK succeeds
//   otherwise; any other mode fails EACCES until grantAccess(), as on a node
//   that udev has not yet given to the user (the access command, which the
//   stand-in sudo never runs, is taken to have opened it up: opens succeed).
#pragma once

#include <vector>

namespace simhid {

struct OpenRecord  { int node; int result; int err; };   // result: fd, 0 or -1
struct WriteRecord {
    int node;
    int fd;
    std::vector<unsigned char> bytes;   // as offered (empty if over 4096 bytes)
    bool blocking;                      // O_NONBLOCK clear at the time of the write
    long result;                        // what write returned
    int err;                            // errno when result is -1, else 0
};
struct CloseRecord { int node; int fd; };

// Every node absent, auto-ack off, records cleared; every simulated descriptor
// is forgotten (its peer closed): ones the program still holds then fail
// ENODEV on read and write and are neither counted nor recorded when closed.
void reset();

// Node states (node 0..9; other numbers are ignored).
void present(int node, unsigned bustype, unsigned short vendor, unsigned short product);
void absent(int node);                     // like unplug(): open descriptors die
void failOpen(int node, int err);          // open -> -1/err; open descriptors stay
void openReturnsZero(int node);            // open -> 0, nothing opened
void failIdentity(int node, int err);      // open succeeds, HIDIOCGRAWINFO -> -1/err
void unplug(int node);                     // descriptors die (ENODEV), new opens ENOENT
void plug(int node);                       // present again with its last identity
void setAutoAck(int node, bool on);         // answer 04 AA 01... writes with 04 AA 02 + zeros (64 bytes)
void failWrites(int node, int err);        // writes fail with err until failWrites(node, 0)
// The node becomes readable and writable for access() after afterMs; until
// then its opens fail EACCES too (udev applying its rule a little after the
// kernel's events). Removal (absent, unplug) takes the grant away.
void grantAccess(int node, int afterMs = 0);
// Whether the node's sysfs uevent file can be read (default yes).
void listInSysfs(int node, bool listed);

// Pushes one input report onto the node's most recently opened live
// descriptor. False if there is none, the report is empty, or its queue is
// full (the report is then dropped, like the kernel's ring).
bool queueInput(int node, const std::vector<unsigned char> &report);

std::vector<OpenRecord>  opens();
std::vector<WriteRecord> writes();
std::vector<CloseRecord> closes();
int identityRequests(int node);            // HIDIOCGRAWINFO calls on the node's descriptors
// Simulated descriptors of the node handed out and not yet closed, unplugged
// ones included; node -1 counts all nodes.
int openDescriptors(int node);
void clearRecords();

} // namespace simhid
