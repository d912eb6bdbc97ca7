// bench_udevrace: how often a display plugged in stays unfound when udev
// gives the user access to its node a little after the kernel's last event,
// and no further event comes.
//
//   bench_udevrace [plugs] [grant ms] [seed]
//
// Each plug comes at a random point of the window's one-second tick: the
// simulated display appears refusing access (EACCES) for "grant ms", and
// the hot-plug flag is raised as the kernel's last uevent would raise it.
// A plug counts as missed when the window has not found the display 2.5 s
// later. A plug during which another uevent of the machine reached the
// monitor (which would have searched again) is counted apart as disturbed;
// the others count as found by the first search after the plug or by a
// later one.
// Prints one "key value" line per figure.

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "window/mainwindow.h"
#include "simhid.h"
#include "hotplug/thread.h"

namespace {

std::atomic<int> g_uevents{0};

void countUevents(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (text.startsWith("123456="))
        g_uevents.fetch_add(1);
}

// Runs the event loop until done() or ms have passed.
template <typename Done>
bool waitFor(Done done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

// Every search starts at node 0, which is absent here.
int searches()
{
    int count = 0;
    for (const simhid::OpenRecord &r : simhid::opens())
        count += r.node == 0;
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    const int plugs = argc > 1 ? atoi(argv[1]) : 100;
    const int grantMs = argc > 2 ? atoi(argv[2]) : 50;
    const unsigned seed = argc > 3 ? unsigned(atoi(argv[3])) : 1u;
    qputenv("PATH", QByteArray(BENCH_SUDO_DIR) + ":" + qgetenv("PATH"));
    qInstallMessageHandler(countUevents);
    QApplication app(argc, argv);

    simhid::reset();
    MainWindow window;
    QLabel *status = window.findChild<QLabel *>("label_2");
    const QString found = QString::fromUtf8("设备已连接");
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> phase(0, 999);

    int missed = 0, disturbed = 0, foundFirst = 0, foundLater = 0;
    for (int i = 0; i < plugs; ++i) {
        // Unplugged, and the window has seen it.
        simhid::reset();
        MY_flag.store(1);
        QMetaObject::invokeMethod(&window, "on_ConnectUSB");
        waitFor([] { return false; }, phase(rng));

        const int before = g_uevents.load();
        simhid::clearRecords();
        simhid::present(1, 3, 0x0483, 0x5750);
        simhid::grantAccess(1, grantMs);
        MY_flag.store(1);
        const bool ok = waitFor([&] { return status->text() == found; }, 2500);
        if (g_uevents.load() != before)
            ++disturbed;
        else if (!ok)
            ++missed;
        else if (searches() == 1)
            ++foundFirst;
        else
            ++foundLater;
    }
    printf("plugs %d\ngrant_ms %d\nmissed %d\ndisturbed %d\nfound_first_tick %d\nfound_later %d\n",
           plugs, grantMs, missed, disturbed, foundFirst, foundLater);
    return 0;
}
