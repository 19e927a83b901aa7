// Unit under test: comlink (the simulator's entry in the COM port map).
#include "instrument-sim/comlink.h"

#include "ScopedEnv.h"
#include "SimTest.h"

#include <cstdlib>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;

namespace {

using testutil::ScopedEnv;

} // namespace

TEST(ComDirectory, EnvironmentDecides)
{
    ScopedEnv home("HOME", "/home/op");
    {
        ScopedEnv dir("VELMOR_COM_DIR", "/tmp/map");
        ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(sim::ComDirectory(), fs::path("/tmp/map"));
    }
    ScopedEnv dir("VELMOR_COM_DIR", nullptr);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(sim::ComDirectory(), fs::path("/cfg/velmor/com"));
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", ""); // empty counts as unset
    EXPECT_EQ(sim::ComDirectory(), fs::path("/home/op/.config/velmor/com"));
    ScopedEnv noHome("HOME", nullptr);
    EXPECT_THROW(sim::ComDirectory(), std::runtime_error);
}

// The directories it made go with the link, unless something else is in
// them; one that was there before stays.
TEST(ComLink, LinksForItsLifetime)
{
    simtest::TempDir tmp;
    const fs::path dir = tmp.Path() / "deep" / "com";
    const fs::path target = tmp.Path() / "device";
    std::ofstream(target).put('x');
    {
        sim::ComLink link(dir, 4, target);
        EXPECT_EQ(link.Path(), dir / "com4");
        EXPECT_EQ(fs::read_symlink(dir / "com4"), target);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp.Path() / "deep")));

    {
        sim::ComLink link(dir, 4, target);
        std::ofstream(tmp.Path() / "deep" / "notes").put('x');
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir)));
    EXPECT_TRUE(fs::exists(tmp.Path() / "deep" / "notes"));

    {
        sim::ComLink link(tmp.Path() / "deep", 4, target);
    }
    EXPECT_TRUE(fs::is_directory(tmp.Path() / "deep"));
}

TEST(ComLink, StaleLinkIsReplacedLiveOneRefused)
{
    simtest::TempDir tmp;
    const fs::path target = tmp.Path() / "device";
    std::ofstream(target).put('x');
    fs::create_symlink(tmp.Path() / "gone", tmp.Path() / "com1");
    {
        sim::ComLink link(tmp.Path(), 1, target);
        EXPECT_EQ(fs::read_symlink(tmp.Path() / "com1"), target);
        try {
            sim::ComLink second(tmp.Path(), 1, target);
            ADD_FAILURE() << "linked a number that is in use";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("choose another COM number"), std::string::npos);
        }
        EXPECT_EQ(fs::read_symlink(tmp.Path() / "com1"), target); // the refusal left it alone
    }
    std::ofstream(tmp.Path() / "com2").put('x');
    EXPECT_THROW(sim::ComLink(tmp.Path(), 2, target), std::runtime_error);
}

TEST(ComLink, LinkRepointedMeanwhileIsLeftAlone)
{
    simtest::TempDir tmp;
    const fs::path target = tmp.Path() / "device";
    std::ofstream(target).put('x');
    {
        sim::ComLink link(tmp.Path(), 9, target);
        fs::remove(link.Path());
        fs::create_symlink(tmp.Path() / "other", link.Path());
    }
    EXPECT_EQ(fs::read_symlink(tmp.Path() / "com9"), tmp.Path() / "other");
}
