#ifndef MQTT_OPTIONS_H
#define MQTT_OPTIONS_H

// brightness-mqtt's command line. The password never appears here: only the
// name of a file that holds it.

#include <map>
#include <string>
#include <vector>

namespace mqtt {

struct Options {
    std::string host = "localhost";
    int port = 0;  // 0: 1883, or 8883 with TLS
    std::string clientId;       // empty: the node id
    std::string username;
    std::string passwordFile;
    bool tls = false;
    std::string caFile;         // empty with tls: the system's CAs
    std::string prefix = "brightness";
    std::string groupTopic;     // empty: PREFIX/all/set
    std::string discoveryPrefix = "homeassistant";
    std::string nodeId;         // empty: from the machine id
    int keepalive = 60;         // seconds
    std::string name;           // the device's name; empty: the host name
    std::map<std::string, std::string> names;  // by place or its object id
    std::vector<std::string> forget;           // places to withdraw ("idle": its entities), then exit
    bool noIdle = false;  // brightness-idle's entities not offered
    std::string illuminanceTopic;  // a Home Assistant sensor's lux, for brightness-idle
    bool verbose = false;  // -v: the log says why
    bool help = false;
    bool version = false;
};

// False with a one-line reason for anything it does not understand.
bool parseOptions(const std::vector<std::string> &args, Options *options, std::string *why);

// A topic this program publishes under or subscribes to: no wildcards, no
// empty level at either end, no NUL.
bool validTopic(const std::string &topic);

// Letters, digits, '_' and '-': what Home Assistant accepts in a discovery
// topic's node and object ids.
bool validNodeId(const std::string &id);

std::string usage();

// Reads the password: the whole file less one trailing newline (LF or
// CRLF). Refused when others than the owner and group may read it, or when
// it is empty; *warning says when the group may.
bool readPasswordFile(const std::string &path, std::string *password, std::string *why, std::string *warning);

} // namespace mqtt

#endif
