#ifndef SYSFSTREE_H
#define SYSFSTREE_H

// A sysfs root of a test's own, beside an empty state directory, in a fresh
// temporary directory that goes with the object. Only what the test stages
// is there, laid out as the kernel lays it out. Qt-free: the fuzz targets
// and the benchmarks stage theirs with it too.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include <sys/stat.h>

namespace testutil {

// udev's ID_PATH of interface 1.0 on a port of the first USB bus.
inline std::string placeOf(int port)
{
    return "pci-0000:00:14.0-usb-0:" + std::to_string(port) + ":1.0";
}

// The HID device of a display on that port, below devices/, as the kernel
// names it; its place is placeOf(port).
inline std::string usbDevicePath(int port, unsigned short vendor = 0x0483, unsigned short product = 0x5750,
                                 int instance = 1)
{
    char hid[32];
    std::snprintf(hid, sizeof hid, "0003:%04X:%04X.%04X", vendor, product, instance);
    const std::string p = std::to_string(port);
    return "pci0000:00/0000:00:14.0/usb1/1-" + p + "/1-" + p + ":1.0/" + hid;
}

// A USB device's HID_ID as its uevent spells it.
inline std::string hidId(unsigned short vendor, unsigned short product)
{
    char id[32];
    std::snprintf(id, sizeof id, "0003:%08X:%08X", vendor, product);
    return id;
}

inline bool writeText(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    return !f.fail();
}

inline std::string readText(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream text;
    text << f.rdbuf();
    return text.str();
}

class SysfsTree
{
public:
    // In parent when a directory can be made there, else in $TMPDIR or /tmp;
    // ok() says whether either worked.
    explicit SysfsTree(const char *parent = nullptr)
    {
        if (!(parent && make(parent))) {
            const char *tmp = std::getenv("TMPDIR");
            make(tmp && *tmp ? tmp : "/tmp");
        }
    }
    ~SysfsTree()
    {
        std::error_code ignored;
        if (!top.empty())
            std::filesystem::remove_all(top, ignored);
    }
    SysfsTree(const SysfsTree &) = delete;
    SysfsTree &operator=(const SysfsTree &) = delete;

    bool ok() const { return !top.empty(); }
    // The temporary directory that holds the two.
    const std::string &root() const { return top; }
    std::string path() const { return top + "/sys"; }
    std::string stateDir() const { return top + "/state"; }
    std::string recordPath() const { return stateDir() + "/levels"; }
    std::string record() const { return readText(recordPath()); }
    bool setRecord(const std::string &text) const { return writeText(recordPath(), text); }

    // class/hidraw/hidrawN/device/uevent in a directory of its own: a node
    // that sysfs names but places nowhere.
    bool stage(int node, const std::string &uevent) const
    {
        const std::string dir = path() + "/class/hidraw/hidraw" + std::to_string(node) + "/device";
        return makeDirs(dir) && writeText(dir + "/uevent", uevent);
    }
    bool stageId(int node, const std::string &id) const
    {
        return stage(node, "DRIVER=hid-generic\nHID_ID=" + id + "\nHID_NAME=test device\nMODALIAS=hid:b0003\n");
    }

    // The node's device as a link into devices/, as the kernel lays it out:
    // devicePath is the HID device's path below devices/ (usbDevicePath()).
    // The controller above usbN is given the subsystem pci.
    bool stagePlace(int node, const std::string &devicePath, const std::string &id = hidId(0x0483, 0x5750)) const
    {
        namespace fs = std::filesystem;
        const std::string device = path() + "/devices/" + devicePath;
        const std::string link = path() + "/class/hidraw/hidraw" + std::to_string(node);
        const std::string pci = path() + "/bus/pci";
        if (!makeDirs(device) || !makeDirs(link) || !makeDirs(pci))
            return false;
        std::error_code err;
        fs::remove(link + "/device", err);
        fs::create_directory_symlink(device, link + "/device", err);
        if (err)
            return false;
        const std::size_t hub = rootHubAt(devicePath);
        if (hub != std::string::npos && hub > 0) {
            const std::string subsystem = path() + "/devices/" + devicePath.substr(0, hub) + "/subsystem";
            if (!fs::exists(subsystem, err))
                fs::create_directory_symlink(pci, subsystem, err);
            if (err)
                return false;
        }
        return writeText(device + "/uevent", "DRIVER=hid-generic\nHID_ID=" + id + "\nHID_NAME=test device\n");
    }

    // Any other file, by its path inside root().
    bool write(const std::string &name, const std::string &text) const { return writeText(top + '/' + name, text); }

private:
    // Where "/usbN/" begins in a device path, or npos.
    static std::size_t rootHubAt(const std::string &devicePath)
    {
        for (std::size_t at = devicePath.find("/usb"); at != std::string::npos; at = devicePath.find("/usb", at + 1)) {
            std::size_t end = at + 4;
            while (end < devicePath.size() && std::isdigit(static_cast<unsigned char>(devicePath[end])))
                ++end;
            if (end > at + 4 && end < devicePath.size() && devicePath[end] == '/')
                return at;
        }
        return std::string::npos;
    }
    static bool makeDirs(const std::string &dir)
    {
        std::error_code err;
        std::filesystem::create_directories(dir, err);
        return !err;
    }
    bool make(const std::string &parent)
    {
        std::string name = parent + "/sysfs-tree-XXXXXX";
        if (!mkdtemp(name.data()))
            return false;
        top = name;
        // Others may pass: a test may run the program as another user.
        if (chmod(top.c_str(), 0755) == 0 && makeDirs(path()) && makeDirs(stateDir()))
            return true;
        std::error_code ignored;
        std::filesystem::remove_all(top, ignored);
        top.clear();
        return false;
    }

    std::string top;
};

} // namespace testutil

#endif
