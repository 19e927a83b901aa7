// Unit under test: ComPortMap (COM numbers to device paths).
#include "ComPortMap.h"

#include "PtyPair.h"
#include "ScopedEnv.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;
using platform::ComPort;
using platform::ComPortSources;

namespace {

// A fake /dev, /sys/class/tty and link directory.
class FakeTree {
public:
    FakeTree()
    {
        for (const char* d : {"dev", "sys", "links"})
            fs::create_directories(root_.Path() / d);
    }

    void Node(const std::string& name) const { std::ofstream(root_.Path() / "dev" / name); }
    void UartType(const std::string& name, const char* type) const
    {
        fs::create_directories(root_.Path() / "sys" / name);
        std::ofstream(root_.Path() / "sys" / name / "type") << type << "\n";
    }
    void BoundDriver(const std::string& name) const
    {
        fs::create_directories(root_.Path() / "sys" / name / "device" / "driver");
    }
    void Link(const std::string& name, const fs::path& target) const
    {
        fs::create_symlink(target, root_.Path() / "links" / name);
    }
    // The link made anew, as a simulator started again makes it: the old
    // one is there until the new one takes its place.
    void Relink(const std::string& name, const fs::path& target) const
    {
        const fs::path link = root_.Path() / "links" / name;
        fs::create_symlink(target, link.string() + ".new");
        fs::rename(link.string() + ".new", link);
    }
    // A USB adapter plugged into port `usbPort` behind the tty `name`, as
    // sysfs shows it; an empty serial: the adapter has none.
    void UsbAdapter(const std::string& name, const std::string& product, const std::string& serial,
                    const std::string& usbPort) const
    {
        const fs::path device = root_.Path() / "sys" / "devices" / "usb1" / usbPort;
        fs::create_directories(device / (usbPort + ":1.0") / name);
        std::ofstream(device / "idVendor") << "0403\n";
        std::ofstream(device / "idProduct") << product << "\n";
        if (!serial.empty())
            std::ofstream(device / "serial") << serial << "\n";
        fs::create_directories(root_.Path() / "sys" / name);
        const fs::path link = root_.Path() / "sys" / name / "device";
        fs::remove(link);
        fs::create_directory_symlink(device / (usbPort + ":1.0") / name, link);
    }
    fs::path Dev(const std::string& name) const { return root_.Path() / "dev" / name; }
    ComPortSources Sources(bool detect = true) const
    {
        ComPortSources s;
        s.linkDir = (root_.Path() / "links").string();
        s.detect = detect;
        s.devDir = (root_.Path() / "dev").string();
        s.sysTtyDir = (root_.Path() / "sys").string();
        return s;
    }

private:
    TempDir root_;
};

using testutil::ScopedEnv;

} // namespace

TEST(ComPortMap, PinnedLinksFirstThenPresentDevicesInOrder)
{
    FakeTree tree;
    for (const char* n : {"ttyS0", "ttyS1", "ttyS2", "ttyS10", "ttyS3", "ttyUSB1", "ttyUSB0",
                          "ttyACM3", "ttyACM0", "ttyAMA0", "ttyS", "ttyUSB01", "ttyUSBx"})
        tree.Node(n);
    tree.UartType("ttyS0", "0"); // placeholder: no UART found
    tree.UartType("ttyS1", "4");
    tree.BoundDriver("ttyS2"); // not serial-core, but bound to a driver
    tree.UartType("ttyS10", "4");
    // ttyS3 has nothing in sysfs: not counted
    tree.Link("com2", "/nonexistent/ttyUSB7"); // pinned though absent
    tree.Link("com5", tree.Dev("ttyUSB1"));    // pins a present device
    tree.Link("com0", tree.Dev("ttyACM0"));    // no port 0
    tree.Link("comX", tree.Dev("ttyACM0"));
    tree.Link("com07", tree.Dev("ttyACM0"));
    tree.Link("notes", tree.Dev("ttyACM0"));

    const auto ports = platform::ListComPorts(tree.Sources());
    const std::vector<std::pair<unsigned, fs::path>> expected = {
        {1, tree.Dev("ttyS1")},   {2, "/nonexistent/ttyUSB7"}, {3, tree.Dev("ttyS2")},
        {4, tree.Dev("ttyS10")},  {5, tree.Dev("ttyUSB1")},    {6, tree.Dev("ttyUSB0")},
        {7, tree.Dev("ttyACM0")}, {8, tree.Dev("ttyACM3")},
    };
    ASSERT_EQ(ports.size(), expected.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].number, expected[i].first) << i;
        EXPECT_EQ(fs::path(ports[i].path), expected[i].second) << i;
        EXPECT_EQ(ports[i].pinned, ports[i].number == 2 || ports[i].number == 5) << i;
        EXPECT_EQ(ports[i].exists, ports[i].number != 2) << i;
    }
    EXPECT_EQ(fs::path(platform::ResolveDeviceName("\\\\.\\COM6", tree.Sources())),
              tree.Dev("ttyUSB0"));
    EXPECT_EQ(platform::ResolveDeviceName("\\\\.\\COM9", tree.Sources()), "");
    EXPECT_EQ(platform::ResolveDeviceName("/dev/whatever", tree.Sources()), "/dev/whatever");
}

TEST(ComPortMap, WithDetectionOffOnlyLinksCountAndRelativeTargetsResolve)
{
    FakeTree tree;
    tree.Node("ttyUSB0");
    tree.Link("com3", "../dev/ttyUSB0");
    const auto ports = platform::ListComPorts(tree.Sources(false));
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].number, 3u);
    EXPECT_TRUE(ports[0].exists);
    EXPECT_EQ(fs::weakly_canonical(ports[0].path), fs::weakly_canonical(tree.Dev("ttyUSB0")));
}

TEST(ComPortMap, SourcesFollowTheEnvironment)
{
    {
        const ScopedEnv com("VELMOR_COM_DIR", "/tmp/links-here");
        const ComPortSources s = platform::DefaultComPortSources();
        EXPECT_EQ(s.linkDir, "/tmp/links-here");
        EXPECT_FALSE(s.detect);
    }
    const ScopedEnv com("VELMOR_COM_DIR", nullptr);
    {
        const ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
        const ComPortSources s = platform::DefaultComPortSources();
        EXPECT_EQ(s.linkDir, "/cfg/velmor/com");
        EXPECT_TRUE(s.detect);
        EXPECT_EQ(s.devDir, "/dev");
    }
    const ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    const ScopedEnv home("HOME", "/home/op");
    EXPECT_EQ(platform::DefaultComPortSources().linkDir, "/home/op/.config/velmor/com");
}

TEST(ComPortMap, ParsesComNames)
{
    EXPECT_EQ(platform::ParseComName("\\\\.\\COM1"), 1u);
    EXPECT_EQ(platform::ParseComName("\\\\.\\COM50"), 50u);
    EXPECT_EQ(platform::ParseComName("COM12"), 12u);
    EXPECT_EQ(platform::ParseComName("com3"), 3u);
    for (const char* bad :
         {"\\\\.\\COM0", "COM", "COM1x", "COM-1", "COM01", "/dev/ttyS0", "LPT1", "\\\\.\\", ""})
        EXPECT_FALSE(platform::ParseComName(bad).has_value()) << bad;
}

// A device that went away is taken up again only when it is the same one
// back: the same USB adapter, not another that got its name; a COM link
// made anew (the simulated meter started again). A pseudo-terminal is never
// taken up again by its path: its number goes to the next terminal opened.
TEST(DeviceIdentity, ResumesOnlyOnTheDeviceThatWasLost)
{
    FakeTree tree;
    const auto sources = tree.Sources(false);
    const auto identify = [&](const char* name) { return platform::IdentifyDevice(name, sources); };
    constexpr const char* Com1 = "\\\\.\\COM1";
    tree.Node("ttyUSB0");
    tree.UsbAdapter("ttyUSB0", "6001", "A1B2C3", "1-2");
    tree.Link("com1", tree.Dev("ttyUSB0"));
    const auto lost = identify(Com1);
    EXPECT_EQ(lost.hardware, "usb 0403:6001 serial A1B2C3 interface 1.0");

    fs::remove(tree.Dev("ttyUSB0")); // unplugged
    EXPECT_FALSE(platform::MayResume(lost, identify(Com1)));
    tree.Node("ttyUSB0");
    tree.UsbAdapter("ttyUSB0", "6001", "Z9Y8X7", "1-2"); // another adapter got its name
    EXPECT_FALSE(platform::MayResume(lost, identify(Com1)));
    tree.UsbAdapter("ttyUSB0", "6001", "A1B2C3", "1-3"); // itself, in another socket
    EXPECT_TRUE(platform::MayResume(lost, identify(Com1)));
    // Without a serial number, the socket tells it.
    tree.UsbAdapter("ttyUSB0", "6015", "", "1-4");
    const auto plain = identify(Com1);
    EXPECT_EQ(plain.hardware, "usb 0403:6015 at 1-4 interface 1.0");
    tree.UsbAdapter("ttyUSB0", "6015", "", "1-5");
    EXPECT_FALSE(platform::MayResume(plain, identify(Com1)));

    testutil::PtyPair pty;
    const auto byPath = platform::IdentifyDevice(pty.SlavePath(), sources);
    EXPECT_TRUE(byPath.pseudoTerminal);
    EXPECT_FALSE(platform::MayResume(byPath, platform::IdentifyDevice(pty.SlavePath(), sources)));
    tree.Link("com2", pty.SlavePath());
    const auto linked = identify("\\\\.\\COM2");
    EXPECT_FALSE(platform::MayResume(linked, identify("\\\\.\\COM2"))) << "a link left behind";
    tree.Relink("com2", pty.SlavePath());
    EXPECT_TRUE(platform::MayResume(linked, identify("\\\\.\\COM2")));
}
