#include "mqtt/options.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mosquitto.h>

#include "control/cmdline.h"

namespace mqtt {

namespace {

bool parseNumber(const std::string &text, int low, int high, int *value)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int v = std::stoi(text);
    if (v < low || v > high)
        return false;
    *value = v;
    return true;
}

// MQTT counts the keepalive in whole seconds; a number alone is seconds.
const control::DurationRule keepaliveRule{1000, 5000, 3600 * 1000, 1000};

enum { PasswordFileOption = 256, TlsOption, CafileOption, PrefixOption, GroupTopicOption,
       DiscoveryPrefixOption, NodeIdOption, NameOption, ForgetOption, NoIdleOption, IlluminanceTopicOption, HelpOption,
       VersionOption };

// -h is the broker's host, as in the mosquitto clients; help is --help only.
const char shortOptions[] = "h:p:k:i:u:vP::";
const option longOptions[] = {
    {"host", required_argument, nullptr, 'h'},
    {"port", required_argument, nullptr, 'p'},
    {"keepalive", required_argument, nullptr, 'k'},
    {"id", required_argument, nullptr, 'i'},
    {"username", required_argument, nullptr, 'u'},
    // Named so that it is refused, and not taken as short for --password-file.
    {"password", optional_argument, nullptr, 'P'},
    {"password-file", required_argument, nullptr, PasswordFileOption},
    {"tls", no_argument, nullptr, TlsOption},
    {"cafile", required_argument, nullptr, CafileOption},
    {"prefix", required_argument, nullptr, PrefixOption},
    {"group-topic", required_argument, nullptr, GroupTopicOption},
    {"discovery-prefix", required_argument, nullptr, DiscoveryPrefixOption},
    {"node-id", required_argument, nullptr, NodeIdOption},
    {"name", required_argument, nullptr, NameOption},
    {"forget", required_argument, nullptr, ForgetOption},
    {"no-idle", no_argument, nullptr, NoIdleOption},
    {"illuminance-topic", required_argument, nullptr, IlluminanceTopicOption},
    {"help", no_argument, nullptr, HelpOption},
    {"version", no_argument, nullptr, VersionOption},
    {"verbose", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

// One option and its value into *o; the reason in *why for a bad one.
void takeOption(int val, const std::string &v, Options *o, std::string *why)
{
    long long ms = 0;
    switch (val) {
    case HelpOption: o->help = true; break;
    case VersionOption: o->version = true; break;
    case TlsOption: o->tls = true; break;
    case NoIdleOption: o->noIdle = true; break;
    case 'v':
        o->verbose = true;
        break;
    case 'h':
        if (v.empty())
            *why = "empty host";
        o->host = v;
        break;
    case 'p':
        if (!parseNumber(v, 1, 65535, &o->port))
            *why = "invalid port '" + v + "': give 1 to 65535";
        break;
    case 'k':
        if (control::parseDuration(v, keepaliveRule, &ms))
            o->keepalive = int(ms / 1000);
        else
            *why = "invalid keepalive '" + v + "': give 5s to 1h in whole seconds, such as 60, 30s or 5m";
        break;
    case 'i':
        if (v.empty() || v.size() > 64)
            *why = "invalid client id: give 1 to 64 characters";
        o->clientId = v;
        break;
    case 'u': o->username = v; break;
    case PasswordFileOption: o->passwordFile = v; break;
    case CafileOption:
        o->caFile = v;
        o->tls = true;
        break;
    case PrefixOption: o->prefix = v; break;
    case GroupTopicOption: o->groupTopic = v; break;
    case IlluminanceTopicOption: o->illuminanceTopic = v; break;
    case DiscoveryPrefixOption: o->discoveryPrefix = v; break;
    case NodeIdOption:
        if (!validNodeId(v))
            *why = "invalid node id '" + v + "': give letters, digits, '_' and '-'";
        o->nodeId = v;
        break;
    case NameOption: {
        // PLACE=NAME names one display; a bare NAME, the machine's.
        const std::size_t eq = v.find('=');
        const std::string name = eq == std::string::npos ? v : v.substr(eq + 1);
        if (name.empty() || name.size() > 100 || eq == 0)
            *why = "invalid name '" + v + "': give NAME or PLACE=NAME, a name of 1 to 100 characters";
        else if (eq == std::string::npos)
            o->name = name;
        else
            o->names[v.substr(0, eq)] = name;
        break;
    }
    case ForgetOption:
        if (v.empty() || v.find_first_of(std::string("/+#\0", 4)) != std::string::npos)
            *why = "invalid place '" + v + "': give a display's bus place, as its topics show it";
        o->forget.push_back(v);
        break;
    case 'P':
        // Anyone can read a command line (ps, /proc): never take it there.
        *why = "a password is read from a file only: use --password-file FILE";
        break;
    }
}

} // namespace

bool validTopic(const std::string &topic)
{
    // The library's own checks, as the broker applies them; a '/' at either
    // end would make the joined topics hold an empty level.
    return !topic.empty() && topic.size() <= 1024 && topic.front() != '/' && topic.back() != '/'
        && topic.find('\0') == std::string::npos
        && mosquitto_validate_utf8(topic.data(), static_cast<int>(topic.size())) == MOSQ_ERR_SUCCESS
        && mosquitto_pub_topic_check(topic.c_str()) == MOSQ_ERR_SUCCESS;
}

bool validNodeId(const std::string &id)
{
    if (id.empty() || id.size() > 64)
        return false;
    for (char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    return true;
}

bool parseOptions(const std::vector<std::string> &args, Options *options, std::string *why)
{
    Options o;
    why->clear();
    control::OptionReader reader(args, shortOptions, longOptions);
    // The first problem is told, unless help is asked for anywhere.
    *why = reader.readAll([&](int val, const std::string &value, std::string *problem) {
        takeOption(val, value, &o, problem);
    });
    if (o.help) {
        why->clear();
        *options = o;
        return true;
    }
    if (!why->empty())
        return false;
    if (o.groupTopic.empty())
        o.groupTopic = o.prefix + "/all/set";
    std::vector<const std::string *> given = {&o.prefix, &o.groupTopic, &o.discoveryPrefix};
    if (!o.illuminanceTopic.empty())
        given.push_back(&o.illuminanceTopic);
    for (const std::string *t : given)
        if (!validTopic(*t)) {
            *why = "invalid topic '" + *t + "': UTF-8 with no '+' or '#', and no '/' at either end";
            return false;
        }
    if (!o.illuminanceTopic.empty() && o.noIdle) {
        *why = "--illuminance-topic hands the room's light to brightness-idle: it cannot go with --no-idle";
        return false;
    }
    if (!o.passwordFile.empty() && o.username.empty()) {
        *why = "--password-file needs --username";
        return false;
    }
    if (o.port == 0)
        o.port = o.tls ? 8883 : 1883;
    *options = o;
    return true;
}

std::string usage()
{
    return "Usage: brightness-mqtt [options]\n"
           "Offers each USB display as a Home Assistant light over MQTT.\n"
           "\n"
           "  -h, --host HOST          broker host (default localhost)\n"
           "  -p, --port PORT          broker port (default 1883, 8883 with TLS)\n"
           "  -i, --id ID              client id (default: the node id)\n"
           "  -u, --username NAME      user name at the broker\n"
           "  --password-file FILE     the password, read from FILE (never from the command line)\n"
           "  --tls                    TLS, trusting the system's CAs\n"
           "  --cafile FILE            TLS, trusting the CA certificate(s) in FILE\n"
           "  -k, --keepalive TIME     MQTT keepalive (default 60s)\n"
           "  --prefix TOPIC           topic prefix (default brightness)\n"
           "  --group-topic TOPIC      commands for every display (default PREFIX/all/set)\n"
           "  --discovery-prefix TOPIC Home Assistant discovery prefix (default homeassistant)\n"
           "  --node-id ID             this machine's id in topics (default from /etc/machine-id)\n"
           "  --name NAME              the name Home Assistant shows (default: the host name)\n"
           "  --name PLACE=NAME        the name of the display at PLACE (repeatable)\n"
           "  --forget PLACE           remove the display at PLACE from Home Assistant, then exit\n"
           "                           (--forget idle: brightness-idle's entities)\n"
           "  --no-idle                do not offer brightness-idle's entities\n"
           "  --illuminance-topic TOPIC  hand the lux of a Home Assistant sensor published on\n"
           "                           TOPIC to brightness-idle --ambient\n"
           "  -v, --verbose            log each command received and what is watched\n"
           "  --help                   show this help\n"
           "  --version                show the version\n"
           "\n"
           "TIME is whole seconds from 5s to 1h, as a number of seconds (60) or with\n"
           "a unit, s, m or h (90s, 5m). PLACE is a display's bus place, as in its\n"
           "topics. '--' ends the options. Needs Home Assistant 2024.4 or later.\n";
}

bool readPasswordFile(const std::string &path, std::string *password, std::string *why, std::string *warning)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = "cannot read password file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
        close(fd);
        *why = "password file " + path + " is not a small regular file";
        return false;
    }
    if (st.st_mode & S_IROTH) {
        close(fd);
        *why = "password file " + path + " is readable by everyone: chmod o-r it";
        return false;
    }
    char buf[4097];
    std::string text;
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = "cannot read password file " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    // Written on Windows or by echo: one line ending, either kind.
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty()) {
        *why = "password file " + path + " is empty";
        return false;
    }
    warning->clear();
    if (st.st_mode & S_IRGRP)
        *warning = "password file " + path + " is readable by its group: chmod g-r it";
    *password = text;
    return true;
}

} // namespace mqtt
