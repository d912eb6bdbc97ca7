// brightness-ctl's whole command line, against simulated displays only.

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "../support/fakeclock.h"
#include "../support/sysfstree.h"
#include "ctl/ctl.h"
#include "control/values.h"
#include "fuzz.h"
#include "simhid.h"

namespace {

// Node 0 is on a USB port, as sysfs lays it out; node 1 has no sysfs entry;
// node 2 is refused and named only in sysfs. tmpfs keeps the record's
// flushes cheap.
const testutil::SysfsTree &tree()
{
    static const testutil::SysfsTree staged("/dev/shm");
    static const bool made = staged.ok() && staged.stagePlace(0, testutil::usbDevicePath(2))
        && staged.stage(2, "HID_ID=" + testutil::hidId(0x0483, 0x5750) + "\n");
    FUZZ_CHECK(made);
    return staged;
}

const std::string remembered = testutil::placeOf(2) + " 0483:5750 40 7\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const testutil::SysfsTree &staged = tree();
    // Linked in, the simulation answers every /dev/hidraw node, so no real
    // device is ever opened, whatever the machine has.
    simhid::reset();
    simhid::present(0, 3, 0x0483, 0x5750);
    simhid::present(1, 3, 0x0eef, 0x0005);
    simhid::failOpen(2, EACCES);
    FUZZ_CHECK(staged.setRecord(remembered));

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
    testutil::FakeClock clock;
    const control::Environment env{staged.path(), staged.stateDir(), &out, &err, &clock};
    const int status = ctl::run(int(words.size()), argv.data(), env);
    FUZZ_CHECK(status >= 0 && status <= 3);
    FUZZ_CHECK(status == 0 || !err.str().empty());
    for (const simhid::WriteRecord &w : simhid::writes())
        FUZZ_CHECK(w.bytes.size() == 38 && w.bytes[6] <= 100);
    FUZZ_CHECK(simhid::openDescriptors(-1) == 0);
    // Whatever was asked, the record still holds a level for node 0's display.
    control::Record record;
    FUZZ_CHECK(control::parseRecord(staged.record(), &record)
               && control::findEntry(record, testutil::placeOf(2), 0x0483, 0x5750));
    return 0;
}
