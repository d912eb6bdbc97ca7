#ifndef SYSFSTREE_H
#define SYSFSTREE_H

// A sysfs root of a test's own, beside an empty state directory, in a fresh
// temporary directory that goes with the object. Only what the test stages
// is there, laid out as the kernel lays it out. Qt-free: the fuzz targets
// and the benchmarks stage theirs with it too.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

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
    // As the programs write it: whole, then renamed over the old one, so that
    // a reader never sees it half written.
    bool replaceRecord(const std::string &text) const
    {
        const std::string tmp = recordPath() + ".new";
        return writeText(tmp, text) && std::rename(tmp.c_str(), recordPath().c_str()) == 0;
    }

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
    // Each device on the way gets its uevent and its subsystem, told by the
    // name the kernel gives it (see kindOf).
    bool stagePlace(int node, const std::string &devicePath, const std::string &id = hidId(0x0483, 0x5750)) const
    {
        namespace fs = std::filesystem;
        const std::string device = path() + "/devices/" + devicePath;
        const std::string link = path() + "/class/hidraw/hidraw" + std::to_string(node);
        if (!makeDirs(device) || !makeDirs(link))
            return false;
        std::error_code err;
        fs::remove(link + "/device", err);
        fs::create_directory_symlink(device, link + "/device", err);
        if (err)
            return false;
        std::vector<std::string> parts;
        std::istringstream names(devicePath);
        for (std::string name; std::getline(names, name, '/');)
            parts.push_back(name);
        std::string dir = path() + "/devices";
        for (std::size_t i = 0; i < parts.size(); ++i) {
            dir += '/' + parts[i];
            const Kind kind = kindOf(parts, i);
            if (!kind.device)
                continue;
            const std::string uevent = i + 1 == parts.size()
                ? "DRIVER=hid-generic\nHID_ID=" + id + "\nHID_NAME=test device\n"
                : kind.devtype.empty() ? std::string() : "DEVTYPE=" + kind.devtype + '\n';
            if (!writeText(dir + "/uevent", uevent) || !linkSubsystem(dir, kind.subsystem))
                return false;
        }
        return true;
    }

    // Any other file, by its path inside root().
    bool write(const std::string &name, const std::string &text) const { return writeText(top + '/' + name, text); }

private:
    struct Kind {
        bool device;            // has a uevent
        std::string subsystem;  // empty: none
        std::string devtype;
    };
    static bool digits(const std::string &s, std::size_t from, std::size_t to)
    {
        if (from >= to || to > s.size())
            return false;
        for (std::size_t i = from; i < to; ++i)
            if (!std::isdigit(static_cast<unsigned char>(s[i])))
                return false;
        return true;
    }
    // "B-P[.P...]", a USB device's name.
    static bool usbPorts(const std::string &s)
    {
        const std::size_t dash = s.find('-');
        if (dash == std::string::npos || !digits(s, 0, dash))
            return false;
        for (std::size_t from = dash + 1, dot; from <= s.size(); from = dot + 1) {
            dot = std::min(s.find('.', from), s.size());
            if (!digits(s, from, dot))
                return false;
        }
        return true;
    }
    // Hex digits and separators as in the pattern ('h' a hex digit).
    static bool shaped(const std::string &s, const char *pattern)
    {
        std::size_t i = 0;
        for (; pattern[i] && i < s.size(); ++i)
            if (pattern[i] == 'h' ? !std::isxdigit(static_cast<unsigned char>(s[i])) : s[i] != pattern[i])
                return false;
        return !pattern[i] && i == s.size();
    }
    // What the kernel makes of part i of a device path.
    static Kind kindOf(const std::vector<std::string> &parts, std::size_t i)
    {
        const std::string &name = parts[i];
        if ((name.compare(0, 3, "usb") == 0 && digits(name, 3, name.size())) || usbPorts(name))
            return {true, "usb", "usb_device"};
        // "B-P[.P...]:C.I"
        const std::size_t colon = std::min(name.find(':'), name.size());
        const std::size_t dot = std::min(name.find('.', colon), name.size());
        if (usbPorts(name.substr(0, colon)) && digits(name, colon + 1, dot) && digits(name, dot + 1, name.size()))
            return {true, "usb", "usb_interface"};
        if (shaped(name, "hhhh:hh:hh.h"))
            return {true, "pci", ""};
        if (shaped(name, "hhhh:hhhh:hhhh.hhhh"))
            return {true, "hid", ""};
        if (shaped(name, "pcihhhh:hh"))
            return {true, "", ""};
        // platform/ itself is a device, virtual/ and virtual/CLASS/ are not;
        // what lies below them is on their bus.
        if (parts[0] == "virtual")
            return {i >= 2, i >= 2 ? parts[1] : "", ""};
        if (parts[0] == "platform")
            return {true, i == 0 ? "" : "platform", ""};
        return {true, "", ""};
    }
    // dir/subsystem, a link to bus/SUBSYSTEM as in sysfs; none for none.
    bool linkSubsystem(const std::string &dir, const std::string &subsystem) const
    {
        std::error_code err;
        const std::string bus = path() + "/bus/" + subsystem;
        if (subsystem.empty() || std::filesystem::exists(dir + "/subsystem", err))
            return !err;
        if (!makeDirs(bus))
            return false;
        std::filesystem::create_directory_symlink(bus, dir + "/subsystem", err);
        return !err;
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
