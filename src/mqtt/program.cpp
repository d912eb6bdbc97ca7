#include "mqtt/program.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>


#include "control/log.h"
#include <unistd.h>

#include "mqtt/bridge.h"
#include "control/cmdline.h"
#include "control/status.h"
#include "mqtt/nodeid.h"

namespace mqtt {

int runProgram(const std::vector<std::string> &args, const std::string &sysfsRoot, const std::string &stateDir)
{
    control::Log log(std::cerr, "brightness-mqtt");
    Settings s;
    std::string why;
    if (!parseOptions(args, &s.options, &why)) {
        std::cerr << control::usageError("brightness-mqtt", why);
        return control::Usage;
    }
    if (s.options.help || s.options.version) {
        std::cout << (s.options.help ? usage() : "brightness-mqtt " BRIGHTNESS_VERSION "\n") << std::flush;
        return control::Ok;
    }
    log.setVerbose(s.options.verbose);
    std::string warning;
    if (!s.options.passwordFile.empty() && !readPasswordFile(s.options.passwordFile, &s.password, &why, &warning)) {
        log.error(why);
        return control::Usage;
    }
    if (!warning.empty())
        log.warning(warning);
    s.nodeId = s.options.nodeId;
    if (s.nodeId.empty() && !machineNodeId(&s.nodeId, &why)) {
        log.error(why);
        return control::Failure;
    }
    char host[256] = {};
    s.hostName = gethostname(host, sizeof host - 1) == 0 && host[0] ? host : "brightness";
    s.env = {sysfsRoot, stateDir, &std::cout, &std::cerr};
    s.env.program = "brightness-mqtt";
    s.origin = {BRIGHTNESS_VERSION, BRIGHTNESS_SUPPORT_URL};

    // A broker that goes away mid-write must not kill the program.
    std::signal(SIGPIPE, SIG_IGN);
    Bridge bridge(s, log);
    return bridge.run();
}

} // namespace mqtt
