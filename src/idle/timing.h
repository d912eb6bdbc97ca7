#ifndef IDLE_TIMING_H
#define IDLE_TIMING_H

// When the screen goes dark and when it wakes: a pure state machine. It never
// reads a clock; every call is given the monotonic time in nanoseconds, so
// that any sequence of inputs and expiries can be replayed exactly.

namespace idle {

enum class Stage { Lit, Dimmed, Off };

// What the caller must do to the screen after a call.
enum class Change { None, Dim, Off, Wake };

struct Plan {
    long long afterNs = 0;      // quiet time, while lit, before the first stage
    int dimPercent = -1;        // the first stage dims to this; -1: it is off
    long long offAfterNs = -1;  // with a dim: time dimmed before off; -1 never
};

class Timing
{
public:
    Timing(const Plan &plan, long long now);

    // Someone is there.
    Change input(long long now);
    // Call at deadline() or later; early calls change nothing.
    Change expire(long long now);
    // Someone else set the screen to this stage: the clock starts anew.
    void adopt(Stage stage, long long now);

    // Other times from now on; the time already counted stays counted.
    void replan(const Plan &plan) { this->plan = plan; }
    const Plan &currentPlan() const { return plan; }

    Stage stage() const { return current; }
    // When expire() has something to do; -1: nothing until input.
    long long deadline() const;

private:
    Plan plan;
    Stage current = Stage::Lit;
    long long since;  // last input while lit, or when the stage began
};

} // namespace idle

#endif
