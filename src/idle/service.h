#ifndef IDLE_SERVICE_H
#define IDLE_SERVICE_H

// brightness-idle on the system bus: the name org.brightness.Idle1, whose
// object lets group plugdev (brightness-mqtt, so Home Assistant) read the
// idle state, change the times, keep the screen awake and wake it; and
// logind's idle inhibitor, followed through its PropertiesChanged signals.
// Without a bus, without the name or without logind the program runs on as
// before, said once; a bus that is not there or lost is said once and
// found again when its socket is made (inotify on its directory, so that
// waiting costs no wake-up), or where that cannot be watched, looked for
// again less and less often.

#include <functional>
#include <string>

#include <systemd/sd-bus.h>

#include "idle/controller.h"

namespace idle {

class Service
{
public:
    // changed: after any bus call or logind's news changed the controller,
    // so that the loop arms its timer anew. nightProfile: --night given.
    Service(Controller &controller, control::Log &log, bool nightProfile, std::function<void()> changed);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Connects on the loop's event; every failure is a warning, never fatal.
    void open(sd_event *loop);
    // Called with the settings after a call changed them.
    void onSettings(std::function<void(const Settings &)> set) { settingsSet = std::move(set); }
    // Called with the room's light in lux that another program measured
    // (Home Assistant's sensor, through brightness-mqtt); false where
    // nothing takes it.
    void onIlluminance(std::function<bool(double lux)> take) { illuminanceTaken = std::move(take); }

private:
    static const sd_bus_vtable *vtable();
    static int getBool(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                       void *self, sd_bus_error *);
    static int getNumber(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                         void *self, sd_bus_error *);
    static int setStayAwake(sd_bus *, const char *, const char *, const char *, sd_bus_message *value, void *self,
                            sd_bus_error *error);
    static int setNumber(sd_bus *, const char *, const char *, const char *property, sd_bus_message *value,
                         void *self, sd_bus_error *error);
    static int wake(sd_bus_message *call, void *self, sd_bus_error *);
    // The room's light: AmbientProfile, AutoBrightness, Illuminance,
    // AmbientCurve and ReportIlluminance().
    static int getAmbient(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                          void *self, sd_bus_error *);
    static int setAutoBrightness(sd_bus *, const char *, const char *, const char *, sd_bus_message *value,
                                 void *self, sd_bus_error *error);
    static int reportIlluminance(sd_bus_message *call, void *self, sd_bus_error *error);
    static int nameReply(sd_bus_message *reply, void *self, sd_bus_error *);
    static int logindChanged(sd_bus_message *signal, void *self, sd_bus_error *);
    static int logindOwner(sd_bus_message *signal, void *self, sd_bus_error *);
    static int inhibitedReply(sd_bus_message *reply, void *self, sd_bus_error *);
    static int disconnected(sd_bus_message *, void *self, sd_bus_error *);

    // False when there is no bus to reach now, said once per loss.
    bool connect();
    void retryLater();
    static int onRetry(sd_event_source *source, uint64_t usec, void *self);
    // After a failed connect: the bus's socket watched, or the timer armed.
    void waitForBus();
    bool watchBus();
    static int onSocket(sd_event_source *source, const struct inotify_event *event, void *self);
    void statusChanged();
    void readInhibited();
    void inhibited(bool held);
    void warnLogind(const std::string &why);

    Controller &controller;
    control::Log &log;
    bool nightProfile;
    std::function<void()> changed;
    std::function<void(const Settings &)> settingsSet;
    std::function<bool(double)> illuminanceTaken;
    sd_event *event = nullptr;
    sd_bus *bus = nullptr;
    sd_event_source *retry = nullptr;
    sd_event_source *socketWatch = nullptr;  // the bus socket's directory, or its parent's
    std::string awaited;                     // the name made there that is waited for
    int lastError = 0;                       // of the last failed connect
    unsigned backoffMs;
    bool lost = false;         // the bus is gone: said, looked for again
    IdleStatus shown;          // as last announced
    bool logindWarned = false; // its absence is said once until it is back
};

} // namespace idle

#endif
