#ifndef READDIR_FAULT_H
#define READDIR_FAULT_H

// readdir (and readdir64) for a test executable, which it links in ahead of
// the C library: once armed, the next calls hand out `entries` entries and
// then fail with errno `error`, as a 32-bit build without large-file support
// fails with EOVERFLOW on ext4, until disarmed.

#ifdef __cplusplus
extern "C" {
#endif

void readdir_fault_arm(int entries, int error);
void readdir_fault_disarm(void);

#ifdef __cplusplus
}
#endif

#endif
