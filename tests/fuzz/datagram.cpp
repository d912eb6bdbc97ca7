// One kernel uevent datagram as the hot-plug monitor receives it.

#include <QtGlobal>

#include <algorithm>

#include "fuzz.h"
#include "hotplug/thread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Printing every message would cost more than handling it.
    static const QtMessageHandler quiet =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    (void)quiet;
    MY_flag.store(0);
    // recv cuts a longer datagram to the monitor's 4096 bytes. The input is
    // allocated to its exact size, so reading past it is caught.
    handleUeventMessage(reinterpret_cast<const char *>(data), static_cast<ssize_t>(std::min<size_t>(size, 4096)));
    // Every message makes the window look again.
    FUZZ_CHECK(MY_flag.load() == 1);
    return 0;
}
