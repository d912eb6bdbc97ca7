#include "options.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// "--name=value" or "--name value"; throws when the value is missing.
bool optionValue(const std::vector<std::string> &args, std::size_t *i, const char *shortName,
                 const char *longName, std::string *value)
{
    const std::string &arg = args[*i];
    const std::string eq = std::string(longName) + "=";
    if (arg.compare(0, eq.size(), eq) == 0) {
        *value = arg.substr(eq.size());
        return true;
    }
    if (arg != longName && (!shortName || arg != shortName))
        return false;
    if (*i + 1 >= args.size())
        throw std::string("'") + arg + "' needs a value";
    *value = args[++*i];
    return true;
}

void parseOne(const std::vector<std::string> &args, std::size_t *i, Options *o)
{
    const std::string &arg = args[*i];
    std::string v;
    if (arg == "--help") {
        o->help = true;
    } else if (arg == "--version") {
        o->version = true;
    } else if (arg == "--tls") {
        o->tls = true;
    } else if (optionValue(args, i, "-h", "--host", &v)) {
        if (v.empty())
            throw std::string("empty host");
        o->host = v;
    } else if (optionValue(args, i, "-p", "--port", &v)) {
        if (!parseNumber(v, 1, 65535, &o->port))
            throw "invalid port '" + v + "': give 1 to 65535";
    } else if (optionValue(args, i, "-k", "--keepalive", &v)) {
        if (!parseNumber(v, 5, 3600, &o->keepalive))
            throw "invalid keepalive '" + v + "': give 5 to 3600 seconds";
    } else if (optionValue(args, i, "-i", "--id", &v)) {
        if (v.empty() || v.size() > 64)
            throw std::string("invalid client id: give 1 to 64 characters");
        o->clientId = v;
    } else if (optionValue(args, i, "-u", "--username", &v)) {
        o->username = v;
    } else if (optionValue(args, i, nullptr, "--password-file", &v)) {
        o->passwordFile = v;
    } else if (optionValue(args, i, nullptr, "--cafile", &v)) {
        o->caFile = v;
        o->tls = true;
    } else if (optionValue(args, i, nullptr, "--prefix", &v)) {
        o->prefix = v;
    } else if (optionValue(args, i, nullptr, "--group-topic", &v)) {
        o->groupTopic = v;
    } else if (optionValue(args, i, nullptr, "--discovery-prefix", &v)) {
        o->discoveryPrefix = v;
    } else if (optionValue(args, i, nullptr, "--node-id", &v)) {
        if (!validNodeId(v))
            throw "invalid node id '" + v + "': give letters, digits, '_' and '-'";
        o->nodeId = v;
    } else if (arg.compare(0, 2, "-P") == 0 || arg.compare(0, 10, "--password") == 0) {
        // Anyone can read a command line (ps, /proc): never take it there.
        throw std::string("a password is read from a file only: use --password-file FILE");
    } else {
        throw "unknown argument '" + arg + "'";
    }
}

} // namespace

bool validTopic(const std::string &topic)
{
    return !topic.empty() && topic.size() <= 1024 && topic.front() != '/' && topic.back() != '/'
        && topic.find_first_of(std::string("+#\0", 3)) == std::string::npos;
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
    try {
        for (std::size_t i = 0; i < args.size(); ++i)
            parseOne(args, &i, &o);
    } catch (const std::string &problem) {
        *why = problem;
        return false;
    }
    if (o.groupTopic.empty())
        o.groupTopic = o.prefix + "/all/set";
    for (const std::string *t : {&o.prefix, &o.groupTopic, &o.discoveryPrefix})
        if (!validTopic(*t)) {
            *why = "invalid topic '" + *t + "': no '+', '#' or '/' at either end";
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
           "  -k, --keepalive SECONDS  MQTT keepalive (default 60)\n"
           "  --prefix TOPIC           topic prefix (default brightness)\n"
           "  --group-topic TOPIC      commands for every display (default PREFIX/all/set)\n"
           "  --discovery-prefix TOPIC Home Assistant discovery prefix (default homeassistant)\n"
           "  --node-id ID             this machine's id in topics (default from /etc/machine-id)\n"
           "  --help                   show this help\n"
           "  --version                show the version\n";
}

bool readPasswordFile(const std::string &path, std::string *password, std::string *why)
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
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.empty()) {
        *why = "password file " + path + " is empty";
        return false;
    }
    *password = text;
    return true;
}

} // namespace mqtt
