// brightness-ctl's whole command line, against simulated displays only.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ctl.h"
#include "fuzz.h"
#include "simhid.h"

namespace {

std::string sysfsRoot;

void removeSysfs()
{
    std::error_code ignored;
    std::filesystem::remove_all(sysfsRoot, ignored);
}

// The refused display at node 2 is named only in sysfs, as the kernel does.
void makeSysfs()
{
    char dir[] = "/tmp/fuzz-ctl-XXXXXX";
    FUZZ_CHECK(mkdtemp(dir));
    sysfsRoot = dir;
    std::atexit(removeSysfs);
    const std::string device = sysfsRoot + "/class/hidraw/hidraw2/device";
    std::filesystem::create_directories(device);
    std::ofstream(device + "/uevent") << "HID_ID=0003:00000483:00005750\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (sysfsRoot.empty())
        makeSysfs();
    // Linked in, the simulation answers every /dev/hidraw node, so no real
    // device is ever opened, whatever the machine has.
    simhid::reset();
    simhid::present(0, 3, 0x0483, 0x5750);
    simhid::present(1, 3, 0x0eef, 0x0005);
    simhid::failOpen(2, EACCES);

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
    const int status = ctl::run(int(words.size()), argv.data(), {sysfsRoot, &out, &err});
    FUZZ_CHECK(status >= 0 && status <= 3);
    FUZZ_CHECK(status == 0 || !err.str().empty());
    for (const simhid::WriteRecord &w : simhid::writes())
        FUZZ_CHECK(w.bytes.size() == 38 && w.bytes[6] <= 100);
    FUZZ_CHECK(simhid::openDescriptors(-1) == 0);
    return 0;
}
