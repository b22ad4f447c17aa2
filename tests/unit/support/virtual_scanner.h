#pragma once

#include <set>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

// A umockdev testbed with USB-serial tty devices whose nodes are ptys. The test
// binary must run under umockdev-wrapper.
class Testbed {
  public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Adds a tty device /dev/<node> under a USB parent with the given udev
    // properties; an empty text leaves that property out. Returns its syspath.
    std::string AddTty(const std::string& node, const std::string& vendor_id,
                       const std::string& model_id, const std::string& model);
    // A supported scanner: 1a86:7523 "TAVI".
    std::string AddScanner(const std::string& node) { return AddTty(node, "1a86", "7523", "TAVI"); }

    void Uevent(const std::string& syspath, const char* action);
    void Remove(const std::string& syspath);

    // The pty master behind /dev/<node>: what is written here is read there.
    // -1 once the node was unplugged.
    int Master(const std::string& node);
    void Write(const std::string& node, const std::string& bytes);
    // Unplugs like real hardware: the remove event, the device gone from
    // sysfs, and its line hung up.
    void Unplug(const std::string& node, const std::string& syspath);
    // Drops the line (the pty's master end) while udev still lists the device.
    void HangUp(const std::string& node);

  private:
    UMockdevTestbed* m_testbed;
    int m_usb_ports = 0;
    std::set<std::string> m_unplugged;
};
