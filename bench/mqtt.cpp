// brightness-mqtt at building scale; prints "key value" lines for table.awk.
//
//   bench_mqtt fanout N ROUNDS --bridge DRIVER --preload LIB
//       One broker (Debian's mosquitto, on a free port), N bridges, each on
//       a simulated display of its own, and N bare mosquitto_sub clients on
//       the same group topic. Each round publishes one group command; the
//       time from the publish to the last bridge's report write (in its
//       display's log) is set against the time to the last mosquitto_sub's
//       output line, both seen the same way (inotify on their files). Then
//       each bridge's resident memory and its wake-ups over 10 s of idling.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "percentile.h"
#include "spawn.h"
#include "sysfstree.h"


namespace {

long long monotonicNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int freePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0
        && getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    return port;
}

// A panel: its display on hidraw0 in a sysfs tree of its own, a state
// directory, the simulated display's table and log.
bool makePanel(const testutil::SysfsTree &panel)
{
    return panel.ok() && panel.stagePlace(0, testutil::usbDevicePath(1))
        && panel.write("nodes.conf", "0 present 3 0483 5750\n") && panel.write("events.log", "");
}

// A file that grows: its new text since the last look.
struct Watched {
    std::string path;
    long offset = 0;
    bool bridge;  // a display's log, else a mosquitto_sub's output
    std::string fresh()
    {
        std::ifstream f(path);
        f.seekg(offset);
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        offset += static_cast<long>(text.size());
        return text;
    }
};

// Waits until every watched file has shown what marks its arrival (a report
// write, an output line); the latest arrival of each kind, from t0.
bool waitRound(int inotifyFd, std::map<int, Watched> &files, long long t0, long long *bridgeNs, long long *subNs)
{
    std::map<int, bool> arrived;
    *bridgeNs = *subNs = 0;
    const long long deadline = t0 + 30 * 1000000000LL;
    while (arrived.size() < files.size()) {
        pollfd p{inotifyFd, POLLIN, 0};
        if (poll(&p, 1, 1000) < 0 && errno != EINTR)
            return false;
        if (monotonicNs() > deadline)
            return false;
        alignas(inotify_event) char buf[65536];
        const ssize_t n = read(inotifyFd, buf, sizeof buf);
        const long long now = monotonicNs();
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            auto it = files.find(e->wd);
            if (it == files.end() || arrived.count(e->wd))
                continue;
            Watched &w = it->second;
            const std::string text = w.fresh();
            if (w.bridge ? text.find("write 0 ") == std::string::npos : text.find('\n') == std::string::npos)
                continue;
            arrived[e->wd] = true;
            (w.bridge ? *bridgeNs : *subNs) = std::max(w.bridge ? *bridgeNs : *subNs, now - t0);
        }
    }
    return true;
}

long statusField(pid_t pid, const char *task, const char *field)
{
    std::ifstream f(std::string("/proc/") + std::to_string(pid) + task + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(f, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::atol(line.c_str() + key.size());
    return 0;
}

long switches(pid_t pid)
{
    // The main thread: the runner's threads live only while a command runs.
    return statusField(pid, "", "voluntary_ctxt_switches") + statusField(pid, "", "nonvoluntary_ctxt_switches");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4 || std::string(argv[1]) != "fanout") {
        std::fprintf(stderr, "usage: bench_mqtt fanout N ROUNDS --bridge DRIVER --preload LIB\n");
        return 2;
    }
    const int n = std::atoi(argv[2]), rounds = std::atoi(argv[3]);
    std::string bridge, preload;
    for (int i = 4; i + 1 < argc; i += 2)
        (std::string(argv[i]) == "--bridge" ? bridge : preload) = argv[i + 1];
    const testutil::SysfsTree broker("/tmp");
    const int port = freePort();
    const std::string conf = "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n"
                             "persistence false\nuser root\n";
    if (n <= 0 || rounds <= 0 || bridge.empty() || preload.empty() || port < 0 || !broker.write("broker.conf", conf)) {
        std::fprintf(stderr, "bench_mqtt: bad arguments or no temporary directory\n");
        return 2;
    }
    std::vector<pid_t> children, bridges, subs;
    children.push_back(spawnQuiet({"mosquitto", "-c", broker.root() + "/broker.conf"}, {}, broker.root() + "/broker.log"));
    usleep(300000);

    const int inotifyFd = inotify_init1(IN_CLOEXEC);
    std::map<int, Watched> files;
    std::vector<std::unique_ptr<testutil::SysfsTree>> panels;
    for (int i = 0; i < n; ++i) {
        panels.push_back(std::make_unique<testutil::SysfsTree>("/tmp"));
        const testutil::SysfsTree &panel = *panels.back();
        const std::string dir = panel.root();
        if (!makePanel(panel))
            return 1;
        const pid_t b = spawnQuiet({bridge, panel.path(), panel.stateDir(), "-h", "127.0.0.1", "-p", std::to_string(port),
                               "--node-id", "bench" + std::to_string(i)},
                              {"LD_PRELOAD=" + preload, "SIMHID_CONFIG=" + dir + "/nodes.conf",
                               "SIMHID_LOG=" + dir + "/events.log"},
                              dir + "/bridge.out");
        const pid_t s = spawnQuiet({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", "brightness/all/set"},
                              {}, dir + "/sub.out");
        bridges.push_back(b);
        subs.push_back(s);
        children.push_back(b);
        children.push_back(s);
        files[inotify_add_watch(inotifyFd, (dir + "/events.log").c_str(), IN_MODIFY)] = {dir + "/events.log", 0, true};
        files[inotify_add_watch(inotifyFd, (dir + "/sub.out").c_str(), IN_MODIFY)] = {dir + "/sub.out", 0, false};
    }
    sleep(3);  // every client connected and subscribed

    mosquitto_lib_init();
    mosquitto *mosq = mosquitto_new("bench", true, nullptr);
    if (!mosq || mosquitto_connect(mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "bench_mqtt: no broker\n");
        return 1;
    }
    std::vector<long long> bridgeNs, subNs;
    bool complete = true;
    for (int round = -1; round < rounds && complete; ++round) {
        // Round -1 warms up: the files' first lines, the bridges' first scan.
        for (auto &f : files)
            f.second.fresh();
        const std::string payload = "{\"brightness\":" + std::to_string(round % 2 ? 20 : 80) + "}";
        const long long t0 = monotonicNs();
        mosquitto_publish(mosq, nullptr, "brightness/all/set", static_cast<int>(payload.size()), payload.data(), 0, false);
        mosquitto_loop_write(mosq, 1);
        long long b, s;
        complete = waitRound(inotifyFd, files, t0, &b, &s);
        if (complete && round >= 0) {
            bridgeNs.push_back(b);
            subNs.push_back(s);
        }
        usleep(500000);  // the states the bridges publish settle
        mosquitto_loop(mosq, 0, 1);
    }

    std::vector<long long> rss, subRss, wakeups;
    for (pid_t b : bridges)
        rss.push_back(statusField(b, "", "VmRSS"));
    for (pid_t s : subs)
        subRss.push_back(statusField(s, "", "VmRSS"));
    std::vector<long> before;
    for (pid_t b : bridges)
        before.push_back(switches(b));
    const int idleSeconds = 10;
    sleep(idleSeconds);
    for (std::size_t i = 0; i < bridges.size(); ++i)
        wakeups.push_back(switches(bridges[i]) - before[i]);

    std::printf("mqtt.panels %d\nmqtt.rounds %zu\nmqtt.complete %d\n", n, bridgeNs.size(), complete ? 1 : 0);
    std::printf("mqtt.bridge_median_ns %.0f\nmqtt.bridge_p99_ns %.0f\n", percentile(bridgeNs, 50), percentile(bridgeNs, 99));
    std::printf("mqtt.sub_median_ns %.0f\nmqtt.sub_p99_ns %.0f\n", percentile(subNs, 50), percentile(subNs, 99));
    std::printf("mqtt.rss_kb %.0f\nmqtt.sub_rss_kb %.0f\n", percentile(rss, 50), percentile(subRss, 50));
    std::printf("mqtt.idle_seconds %d\nmqtt.idle_wakeups_per_s %.3f\nmqtt.idle_wakeups_max %.0f\n", idleSeconds,
                percentile(wakeups, 50) / idleSeconds, percentile(wakeups, 100));

    mosquitto_destroy(mosq);
    for (pid_t c : children)
        if (c > 0)
            kill(c, SIGTERM);
    for (pid_t c : children)
        if (c > 0)
            waitpid(c, nullptr, 0);
    return complete ? 0 : 1;
}
