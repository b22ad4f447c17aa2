#include "virtual_scanner.h"

#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

Testbed::Testbed() : m_testbed(umockdev_testbed_new()) {}

Testbed::~Testbed() {
    g_object_unref(m_testbed);
}

std::string Testbed::AddTty(const std::string& node, const std::string& vendor_id,
                            const std::string& model_id, const std::string& model) {
    const std::string port = "1-" + std::to_string(++m_usb_ports);
    const std::string parent = "/devices/usb1/" + port;
    const std::string path = parent + "/" + port + ":1.0/" + node + "/tty/" + node;
    std::string record = "P: " + parent + "\nE: SUBSYSTEM=usb\n";
    if (!vendor_id.empty()) {
        record += "A: idVendor=" + vendor_id + "\nA: idProduct=" + model_id + "\n";
    }
    record +=
        "\nP: " + path + "\nN: " + node + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + node + "\n";
    if (!vendor_id.empty()) {
        record += "E: ID_VENDOR_ID=" + vendor_id + "\n";
    }
    if (!model_id.empty()) {
        record += "E: ID_MODEL_ID=" + model_id + "\n";
    }
    if (!model.empty()) {
        record += "E: ID_MODEL=" + model + "\n";
    }
    record += "A: dev=188:" + std::to_string(m_usb_ports) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, record.c_str(), &error)) {
        ADD_FAILURE() << "umockdev: " << (error ? error->message : "?");
        g_clear_error(&error);
    }
    return "/sys" + path;
}

void Testbed::Uevent(const std::string& syspath, const char* action) {
    umockdev_testbed_uevent(m_testbed, syspath.c_str(), action);
}

void Testbed::Remove(const std::string& syspath) {
    umockdev_testbed_remove_device(m_testbed, syspath.c_str());
}

int Testbed::Master(const std::string& node) {
    if (m_unplugged.count(node) != 0) {
        return -1;
    }
    return umockdev_testbed_get_dev_fd(m_testbed, ("/dev/" + node).c_str());
}

void Testbed::Write(const std::string& node, const std::string& bytes) {
    const int master = Master(node);
    ASSERT_GE(master, 0);
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void Testbed::HangUp(const std::string& node) {
    const int master = Master(node);
    if (master >= 0) {
        close(master);
    }
    m_unplugged.insert(node);
}

void Testbed::Unplug(const std::string& node, const std::string& syspath) {
    const int master = Master(node);
    Uevent(syspath, "remove");
    Remove(syspath);
    // umockdev keeps handing out the master after the device is gone: close
    // it once, here, and never hand it out again.
    if (master >= 0) {
        close(master);
    }
    m_unplugged.insert(node);
}
