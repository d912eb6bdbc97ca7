// brightness-ctl's whole command line, against simulated displays only.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "clock.h"
#include "commands.h"
#include "ctl.h"
#include "displays.h"
#include "status.h"
#include "values.h"
#include "fuzz.h"
#include "simhid.h"

namespace fs = std::filesystem;

namespace {

fs::path top;

void removeTop()
{
    std::error_code ignored;
    fs::remove_all(top, ignored);
}

// Node 0 is on a USB port, as sysfs lays it out; node 1 has no sysfs entry;
// node 2 is refused and named only in sysfs. tmpfs keeps the record's
// flushes cheap.
void makeTree()
{
    char dir[] = "/dev/shm/fuzz-ctl-XXXXXX";
    char fallback[] = "/tmp/fuzz-ctl-XXXXXX";
    const char *made = mkdtemp(dir);
    top = made ? made : mkdtemp(fallback);
    FUZZ_CHECK(!top.empty());
    std::atexit(removeTop);
    const fs::path device = top / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:0483:5750.0001";
    fs::create_directories(device);
    fs::create_directories(top / "sys/bus/pci");
    fs::create_directory_symlink(top / "sys/bus/pci", top / "sys/devices/pci0000:00/0000:00:14.0/subsystem");
    fs::create_directories(top / "sys/class/hidraw/hidraw0");
    fs::create_directory_symlink(device, top / "sys/class/hidraw/hidraw0/device");
    std::ofstream(device / "uevent") << "HID_ID=0003:00000483:00005750\n";
    fs::create_directories(top / "sys/class/hidraw/hidraw2/device");
    std::ofstream(top / "sys/class/hidraw/hidraw2/device/uevent") << "HID_ID=0003:00000483:00005750\n";
    fs::create_directories(top / "state");
}

// Time passes only while the program sleeps, so fades and retries cost nothing.
struct InstantClock : ctl::Clock {
    long long time = 0;
    long long now() override { return time; }
    void sleepUntil(long long when) override { time = std::max(time, when); }
};

const char remembered[] = "pci-0000:00:14.0-usb-0:2:1.0 0483:5750 40 7\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (top.empty())
        makeTree();
    // Linked in, the simulation answers every /dev/hidraw node, so no real
    // device is ever opened, whatever the machine has.
    simhid::reset();
    simhid::present(0, 3, 0x0483, 0x5750);
    simhid::present(1, 3, 0x0eef, 0x0005);
    simhid::failOpen(2, EACCES);
    std::ofstream(top / "state/levels", std::ios::trunc) << remembered;

    // The arguments end at NULs, as exec passes them.
    std::vector<std::string> words{"brightness-ctl"};
    const std::string text(reinterpret_cast<const char *>(data), size);
    for (std::size_t start = 0; size > 0 && start <= size;) {
        const std::size_t end = std::min(text.find('\0', start), size);
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    std::ostringstream out, err;
    InstantClock clock;
    const ctl::Environment env{(top / "sys").string(), (top / "state").string(), &out, &err, &clock};
    const int status = ctl::run(int(words.size()), argv.data(), env);
    FUZZ_CHECK(status >= 0 && status <= 3);
    FUZZ_CHECK(status == 0 || !err.str().empty());
    for (const simhid::WriteRecord &w : simhid::writes())
        FUZZ_CHECK(w.bytes.size() == 38 && w.bytes[6] <= 100);
    FUZZ_CHECK(simhid::openDescriptors(-1) == 0);
    // Whatever was asked, the record still holds a level for node 0's display.
    std::ifstream file(top / "state/levels");
    std::ostringstream kept;
    kept << file.rdbuf();
    ctl::Record record;
    FUZZ_CHECK(ctl::parseRecord(kept.str(), &record)
               && ctl::findEntry(record, "pci-0000:00:14.0-usb-0:2:1.0", 0x0483, 0x5750));
    return 0;
}
