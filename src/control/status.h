#ifndef CONTROL_STATUS_H
#define CONTROL_STATUS_H

namespace control {

// Exit statuses. When several apply, the one ranked first wins:
// Usage, then Permission, then Failure. A fade cut short by a signal ends
// with 128 + the signal's number, as if the signal had ended the program,
// and outranks them all.
enum Status {
    Ok = 0,
    Failure = 1,     // no display found, or a display could not be set
    Usage = 2,       // bad command line or value; nothing was opened
    Permission = 3,  // a display's node exists but access was refused
};

// The more important of two statuses, by the ranking above.
int worse(int a, int b);

} // namespace control

#endif
