#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "serial/enumerate_com_ports_linux.h"
#include "serial/sysfs_port_text.h"
#include "tests/support/temp_dir.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

TEST(SysfsPortText, AttributeTexts) {
    EXPECT_EQ(SysfsText("FT232R USB UART\n"), "FT232R USB UART");
    EXPECT_EQ(SysfsText("  padded \t\n"), "padded");
    EXPECT_EQ(SysfsText("bad\x1b[2Jname"), "bad [2Jname");
    EXPECT_EQ(SysfsText("\n"), "");
    EXPECT_EQ(SysfsNumber("4\n"), 4);
    EXPECT_EQ(SysfsNumber("0"), 0);
    for (const char* bad : {"", "\n", "x", "4a", "-1", "12345678901"})
        EXPECT_FALSE(SysfsNumber(bad)) << bad;
    EXPECT_EQ(LinkTargetName("../../../../bus/usb"), "usb");
    EXPECT_EQ(LinkTargetName("serial8250/"), "serial8250");
    EXPECT_EQ(LinkTargetName("port"), "port");
}

// /proc/tty/drivers as the kernel writes it: a single minor or a range, and lines that are not
// a driver's.
TEST(SysfsPortText, TtyDriversOwnTheirDeviceNumbers) {
    const auto drivers = ParseTtyDrivers(
        "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
        "usbserial            /dev/ttyUSB   188 0-511 serial\n"
        "serial               /dev/ttyS       4      64 serial\n"
        "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
        "broken line\n"
        "backwards            /dev/x          7 9-3 serial\n");
    ASSERT_EQ(drivers.size(), 4u);
    struct Row {
        unsigned major;
        unsigned minor;
        bool tty;
    };
    const Row rows[] = {
        {188, 0, true}, {188, 511, true}, {188, 512, false}, {4, 64, true}, {4, 65, false},
        {136, 7, true}, {5, 0, true},     {1, 3, false},     {7, 5, false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(IsTtyDevice(r.major, r.minor, drivers), r.tty) << r.major << ":" << r.minor;
}

TEST(SysfsPortText, PlaceholderUarts) {
    struct Row {
        std::optional<int> type;
        const char* driver;
        const char* path;
        bool placeholder;
    };
    const Row rows[] = {
        {0, "serial8250", "/sys/devices/platform/serial8250", true},
        {0, "port", "/sys/devices/platform/serial8250/serial8250:0/serial8250:0.1", true},
        {0, "serial", "/sys/devices/pnp0/00:04", true},  // no UART answered
        {4, "serial8250", "/sys/devices/platform/serial8250", false},
        {4, "port", "/sys/devices/pnp0/00:00/00:00:0/00:00:0.0", false},
        {std::nullopt, "serial8250", "/sys/devices/platform/serial8250", true},
        {std::nullopt, "", "/sys/devices/platform/serial8250/serial8250:0/serial8250:0.3", true},
        {std::nullopt, "serial", "/sys/devices/pnp0/00:04", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(IsPlaceholderUart(r.type, r.driver, r.path), r.placeholder) << r.path;
}

TEST(SysfsPortText, UsbAncestryFromThePath) {
    EXPECT_TRUE(IsBelowUsbRootHub("/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0"));
    EXPECT_TRUE(IsBelowUsbRootHub("/platform/soc/usb12"));
    EXPECT_FALSE(IsBelowUsbRootHub("/pnp0/00:04"));
    EXPECT_FALSE(IsBelowUsbRootHub("/platform/usb-hub-fake/x"));
    EXPECT_FALSE(IsBelowUsbRootHub("/platform/usb/x"));
}

TEST(SysfsPortText, Names) {
    EXPECT_EQ(UsbAdapterName("FT232R USB UART\n", "FTDI\n", "0403\n", "6001\n"), "FT232R USB UART");
    EXPECT_EQ(UsbAdapterName("", "Prolific\n", "067b\n", "2303\n"), "Prolific 067b:2303");
    EXPECT_EQ(UsbAdapterName(" \n", "Prolific\n", "", ""), "Prolific USB Serial Port");
    EXPECT_EQ(UsbAdapterName("", "", "067b", "2303"), "USB Serial Port");
    EXPECT_EQ(OnBoardPortName("ttyS0"), "Communications Port");
    EXPECT_EQ(OnBoardPortName("ttyAMA0"), "Communications Port");
    EXPECT_EQ(OnBoardPortName("rfcomm0"), "Bluetooth Serial Port");

    const SSerInfo port = MakePortRecord(33, "/dev/ttyUSB0", "FT232R USB UART", true);
    EXPECT_EQ(port.portName, "COM33");
    EXPECT_EQ(port.friendlyName, "FT232R USB UART (COM33)");
    EXPECT_EQ(port.description, "FT232R USB UART");
    EXPECT_EQ(port.devicePath, "/dev/ttyUSB0");
    EXPECT_TRUE(port.isUsb);
}

// A sysfs tree laid out as the kernel lays it: class/tty entries are links into the device
// hierarchy, each tty's `device` a relative link to its parent device.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* dir :
             {"sys/class/tty", "sys/bus/usb", "sys/bus/usb-serial/drivers/ftdi_sio",
              "sys/bus/pnp/drivers/serial", "sys/bus/platform/drivers/serial8250",
              "sys/bus/serial-base/drivers/port", "sys/bus/usb/drivers/cdc_acm", "devices"}) {
            fs::create_directories(root_ / dir);
        }
    }
    void TearDown() override {
        if (ptyMaster_ >= 0) ::close(ptyMaster_);
    }

    // A real tty for devices-folder entries to lead to: the slave of a pseudo-terminal, with
    // the fake tree's tty drivers owning its number as the kernel's do.
    std::string Pty() {
        ptyMaster_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(ptyMaster_, 0);
        EXPECT_EQ(::grantpt(ptyMaster_), 0);
        EXPECT_EQ(::unlockpt(ptyMaster_), 0);
        const std::string path = ::ptsname(ptyMaster_);
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        File("proc/tty/drivers",
             "/dev/tty /dev/tty 5 0 system:/dev/tty\n"
             "pty_slave /dev/pts " +
                 std::to_string(major(st.st_rdev)) + " 0-1048575 pty:slave\n");
        return path;
    }

    void File(const fs::path& path, const std::string& text) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text;
    }
    void Link(const fs::path& path, const fs::path& target) {
        fs::create_directories((root_ / path).parent_path());
        fs::create_symlink(target, root_ / path);
    }
    // A tty `name` under the device folder `device` (relative to sys/devices).
    void Tty(const std::string& name, const fs::path& device, const char* type = nullptr) {
        const fs::path ttyDir = fs::path("sys/devices") / device / "tty" / name;
        fs::create_directories(root_ / ttyDir);
        Link(ttyDir / "device", "../../../" + device.filename().string());
        if (type != nullptr) File(ttyDir / "type", type);
        Link(fs::path("sys/class/tty") / name, "../../devices" / device / "tty" / name);
    }
    void Subsystem(const fs::path& device, const char* bus) {
        Link(fs::path("sys/devices") / device / "subsystem", root_ / "sys/bus" / bus);
    }
    void Driver(const fs::path& device, const char* driverPath) {
        Link(fs::path("sys/devices") / device / "driver", root_ / "sys/bus" / driverPath);
    }
    void UsbDevice(const fs::path& device, const char* product, const char* manufacturer,
                   const char* serial = nullptr) {
        Subsystem(device, "usb");
        File(fs::path("sys/devices") / device / "idVendor", "0403\n");
        File(fs::path("sys/devices") / device / "idProduct", "6001\n");
        if (serial != nullptr) File(fs::path("sys/devices") / device / "serial", serial);
        if (product != nullptr) File(fs::path("sys/devices") / device / "product", product);
        if (manufacturer != nullptr)
            File(fs::path("sys/devices") / device / "manufacturer", manufacturer);
    }

    // A PC with a real and two placeholder 8250 ports, a UART at ttyS3, an FTDI adapter with its
    // by-id link, an ACM modem, virtual terminals, and a USB adapter numbered beyond the mapped
    // range.
    void BuildPc() {
        const fs::path hub = "pci0000:00/0000:00:14.0/usb1";
        UsbDevice(hub, "xHCI Host Controller\n", "Linux\n");
        UsbDevice(hub / "1-2", "FT232R USB UART\n", "FTDI\n", "A50285BI\n");
        Link("by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
        Subsystem(hub / "1-2/1-2:1.0", "usb");
        Subsystem(hub / "1-2/1-2:1.0/ttyUSB0", "usb-serial");
        Driver(hub / "1-2/1-2:1.0/ttyUSB0", "usb-serial/drivers/ftdi_sio");
        Tty("ttyUSB0", hub / "1-2/1-2:1.0/ttyUSB0");
        UsbDevice(hub / "1-3", nullptr, "Tundro\n");
        Subsystem(hub / "1-3/1-3:1.0", "usb");
        Driver(hub / "1-3/1-3:1.0", "usb/drivers/cdc_acm");
        Tty("ttyACM0", hub / "1-3/1-3:1.0");
        UsbDevice(hub / "1-4", "Far adapter\n", nullptr);
        Subsystem(hub / "1-4/1-4:1.0/ttyUSB40", "usb-serial");
        Tty("ttyUSB40", hub / "1-4/1-4:1.0/ttyUSB40");

        Subsystem("pnp0/00:04", "pnp");
        Driver("pnp0/00:04", "pnp/drivers/serial");
        Tty("ttyS0", "pnp0/00:04", "4\n");
        Driver("platform/serial8250", "platform/drivers/serial8250");
        Tty("ttyS1", "platform/serial8250", "0\n");
        Driver("platform/serial8250/serial8250:0/serial8250:0.2", "serial-base/drivers/port");
        Tty("ttyS2", "platform/serial8250/serial8250:0/serial8250:0.2", "0\n");
        Driver("pnp0/00:05", "pnp/drivers/serial");
        Tty("ttyS3", "pnp0/00:05", "4\n");

        for (const char* name : {"tty0", "console", "ptmx"})
            fs::create_directories(root_ / "sys/class/tty" / name);
    }

    CArray<SSerInfo, SSerInfo&> List(const std::string& devicesDir) {
        CArray<SSerInfo, SSerInfo&> list;
        ListLinuxSerialPorts({root_, devicesDir, root_ / "by-id"}, list);
        return list;
    }

    testing::TempDir folder_{"enum"};
    const fs::path root_ = folder_.Path();
    int ptyMaster_ = -1;
};

TEST_F(FakeSysfs, ListsRealPortsByComNumberWithNamesPeopleKnow) {
    BuildPc();
    const std::string pty = Pty();
    Link("pts/7", pty);
    Link("sim/pty0", pty);
    Link("devices/com4", root_ / "pts/7");  // takes COM4 from ttyS3
    Link("devices/com200", "../sim/pty0");  // relative, beyond every range
    File("devices/notes", "");
    Link("devices/com07", root_ / "pts/7");  // not a devices-folder name
    File("plain", "");
    Link("devices/com6", root_ / "plain");  // no device at all
    Link("devices/com8", "/dev/null");      // a device, but no tty
    const auto list = List((root_ / "devices").string());

    const SUsbIdentity none;
    const SUsbIdentity ftdi{0x0403, 0x6001, "A50285BI", "1-2"};
    const SUsbIdentity acm{0x0403, 0x6001, "", "1-3"};
    const std::string ftdiById =
        (root_ / "by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string();
    struct Row {
        const char* portName;
        std::string devicePath;
        std::string friendlyName;
        std::string description;
        bool isUsb;
        SUsbIdentity usb;
        std::string stableName;
    };
    const Row expected[] = {
        {"COM1", "/dev/ttyS0", "Communications Port (COM1)", "Communications Port", false, none,
         ""},
        {"COM4", (root_ / "devices/com4").string(), (root_ / "pts/7").string() + " (COM4)",
         (root_ / "pts/7").string(), false, none, ""},
        {"COM33", "/dev/ttyUSB0", "FT232R USB UART (COM33)", "FT232R USB UART", true, ftdi,
         ftdiById},
        {"COM65", "/dev/ttyACM0", "Tundro 0403:6001 (COM65)", "Tundro 0403:6001", true, acm, ""},
        {"COM200", (root_ / "devices/com200").string(), (root_ / "sim/pty0").string() + " (COM200)",
         (root_ / "sim/pty0").string(), false, none, ""},
    };
    ASSERT_EQ(list.size(), std::size(expected));
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].portName, expected[i].portName) << i;
        EXPECT_EQ(list[i].devicePath, expected[i].devicePath) << i;
        EXPECT_EQ(list[i].friendlyName, expected[i].friendlyName) << i;
        EXPECT_EQ(list[i].description, expected[i].description) << i;
        EXPECT_EQ(list[i].isUsb, expected[i].isUsb) << i;
        EXPECT_EQ(list[i].usb, expected[i].usb) << i;
        EXPECT_EQ(list[i].stableName, expected[i].stableName) << i;
    }
}

// COM1 opens its devices-folder entry, whatever it leads to: when that is no tty, COM1 is no
// port, and the list does not offer ttyS0 in its place.
TEST_F(FakeSysfs, AnEntryThatLeadsToNoTtyHidesTheDefaultDeviceOfItsNumber) {
    BuildPc();
    Pty();
    File("plain", "");
    for (const fs::path& target : {root_ / "pts/gone", fs::path("/dev/null"), root_ / "plain"}) {
        fs::remove(root_ / "devices/com1");
        Link("devices/com1", target);
        const auto list = List((root_ / "devices").string());
        ASSERT_FALSE(list.empty());
        EXPECT_EQ(list[0].portName, "COM4") << target;
    }
}

// A link to a USB adapter's tty is that adapter's port, with its identity and stable name.
TEST_F(FakeSysfs, EntryLinkingToAUsbTtyIsAUsbPort) {
    BuildPc();
    Link("dev/ttyUSB0", Pty());  // stands for the adapter's device node
    Link("devices/com9", root_ / "dev/ttyUSB0");
    const auto list = List((root_ / "devices").string());
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[2].portName, "COM9");
    EXPECT_TRUE(list[2].isUsb);
    EXPECT_EQ(list[2].usb, (SUsbIdentity{0x0403, 0x6001, "A50285BI", "1-2"}));
    EXPECT_EQ(list[2].stableName,
              (root_ / "by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string());
}

// No sysfs, no devices folder, or a file where the folder should be: no ports, and no failure.
TEST_F(FakeSysfs, MissingFoldersMeanNoPorts) {
    fs::remove_all(root_ / "sys");
    File("a-file", "");
    EXPECT_TRUE(List((root_ / "no-such-folder").string()).empty());
    EXPECT_TRUE(List((root_ / "a-file").string()).empty());
    EXPECT_TRUE(List("").empty());
}

// The real machine: whatever it has, the enumeration finishes and every record is complete;
// an entry of MORVANE_DEVICES that leads to a tty is listed under its number.
TEST(EnumerateComPorts, RunsOnThisMachine) {
    const testing::TempDir devices("enum-real");
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string pty = ::ptsname(master);
    fs::create_symlink(pty, devices / "com250");
    const char* previous = std::getenv("MORVANE_DEVICES");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("MORVANE_DEVICES", devices.Path().c_str(), 1);

    CArray<SSerInfo, SSerInfo&> list{SSerInfo{}};
    EXPECT_NO_THROW(EnumerateComPorts(list));

    if (previous != nullptr) {
        ::setenv("MORVANE_DEVICES", saved.c_str(), 1);
    } else {
        ::unsetenv("MORVANE_DEVICES");
    }
    ::close(master);

    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.back().portName, "COM250");
    EXPECT_EQ(list.back().friendlyName, pty + " (COM250)");
    for (const SSerInfo& port : list) {
        EXPECT_EQ(port.portName.compare(0, 3, "COM"), 0) << port.portName;
        EXPECT_EQ(port.friendlyName, port.description + " (" + port.portName + ")");
        EXPECT_FALSE(port.devicePath.empty());
    }
}

}  // namespace
}  // namespace morvane
