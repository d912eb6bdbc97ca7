#ifndef IDLE_SUMMARY_H
#define IDLE_SUMMARY_H

// The line brightness-idle logs at start: what it will do, with the times
// in force (the command line's, or those kept from the bus) and when the
// night comes and goes, as local times.

#include <string>

#include "idle/night.h"
#include "idle/settings.h"

namespace idle {

// wallNow: seconds since the epoch; local times as TZ gives them.
std::string summary(const Settings &settings, int fadeMs, const NightSchedule &night, long long wallNow);

} // namespace idle

#endif
