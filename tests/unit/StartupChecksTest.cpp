#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "FakePlatform.h"
#include "link/Link.h"
#include "linux/HelperLink.h"
#include "host/SystemSettings.h"
#include "velqorin/NetworkAnalyse.h"

using velqorin::ScopedPlatform;
using velqorin::test::FakePlatform;

namespace {

const std::string kXdg = std::string(VELQORIN_FIXTURES) + "/xdg/";

// Sets XDG_CONFIG_DIRS for one test and puts the old value back.
class ConfigDirs {
public:
    explicit ConfigDirs(const char* value) {
        if (const char* old = std::getenv("XDG_CONFIG_DIRS")) old_ = old;
        if (value != nullptr)
            ::setenv("XDG_CONFIG_DIRS", value, 1);
        else
            ::unsetenv("XDG_CONFIG_DIRS");
    }
    ~ConfigDirs() {
        if (old_)
            ::setenv("XDG_CONFIG_DIRS", old_->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_DIRS");
    }

private:
    std::optional<std::string> old_;
};

std::string distribVersion(const std::string& dirs) {
    const ConfigDirs scope(dirs.c_str());
    char text[1000];
    std::memset(text, 'Z', sizeof text);  // whatever was there must not survive
    CVelqorinNetworkAnalyse a;
    a.GetDistribVersion(text);
    EXPECT_NE(std::memchr(text, '\0', sizeof text), nullptr);
    return text;
}

TEST(GetDistribVersion, ReadsVersionFromTheFirstSystemFolderOnly) {
    struct Case {
        std::string dirs;
        std::string expected;
    } cases[] = {
        {kXdg + "with-version", "2.3.1 build 17"},
        {kXdg + "top-level", "1.0"},
        {kXdg + "quoted", "  3.0 \"beta\"; rc1 "},
        {kXdg + "no-key", ""},
        {kXdg + "other-section", ""},
        {kXdg + "no-file", ""},
        {kXdg + "does-not-exist", ""},
        {kXdg + "no-file:" + kXdg + "with-version", ""},
        {"relative/folder:" + kXdg + "with-version", "2.3.1 build 17"},
        {"::" + kXdg + "top-level:", "1.0"},
    };
    for (const Case& c : cases) EXPECT_EQ(distribVersion(c.dirs), c.expected) << c.dirs;
}

TEST(GetDistribVersion, LongValuesAreCutTo998Bytes) {
    EXPECT_EQ(distribVersion(kXdg + "long"), std::string(998, 'v'));
    // 997 characters and a two-byte one: the cut falls before it, not through it.
    EXPECT_EQ(distribVersion(kXdg + "long-utf8"), std::string(997, 'v'));
}

TEST(SystemSettings, FolderDefaultsToEtcXdg) {
    for (const char* dirs : {static_cast<const char*>(nullptr), "", ":", "relative"}) {
        const ConfigDirs scope(dirs);
        EXPECT_EQ(velqorin::systemConfigFolder(), "/etc/xdg") << (dirs ? dirs : "(unset)");
    }
    const ConfigDirs scope("/opt/a:/opt/b");
    EXPECT_EQ(velqorin::systemSettingsFile(), "/opt/a/Quarvel/Velqorin Network Monitor.conf");
}

TEST(SystemSettings, IniValues) {
    struct Case {
        const char* text;
        std::optional<std::string> expected;
    } cases[] = {
        {"[general]\nVersion=1\n", "1"},
        {"[General]\nVersion=1\nVersion=2\n", "2"},
        {"[General]\nVersion=1\n[Other]\nVersion=2\n[General]\n", "1"},
        {"[General]\n  Version  =  spaced out  \n", "spaced out"},
        {"[General]\nVersion=\n", ""},
        {"[General]\nVersion=\"\"\n", ""},
        {"[General]\nVersion=\"a\\\\b\\\"c\"\n", "a\\b\"c"},
        {"[General]\n; Version=1\n# Version=2\n", std::nullopt},
        {"[General]\nversion=1\nVersion1=2\n", std::nullopt},
        {"[Gen]eral]\nVersion=1\n", std::nullopt},
        {"[General\nVersion=1\n", "1"},
        {"Version=\"unterminated\n", "unterminated"},
    };
    for (const Case& c : cases) EXPECT_EQ(velqorin::iniGeneralValue(c.text, "Version"), c.expected) << c.text;
}

TEST(CheckVersion, IsAlwaysTrue) {
    CVelqorinNetworkAnalyse a;
    EXPECT_TRUE(a.CheckVersion());
}

// Raw access is the process's own, or the link helper's: what CheckService says and what
// RawAccessProblem tells the user, for every state the helper can be in.
TEST(CheckService, FollowsThePlatformsAnswerThenTheHelpers) {
    FakePlatform fake;
    const ScopedPlatform scope(fake);
    const auto folder = std::filesystem::temp_directory_path() / ("vqhelper-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto notExecutable = folder / "velqorin-link-helper";
    std::ofstream(notExecutable) << "not a program\n";
    std::filesystem::permissions(notExecutable, std::filesystem::perms::owner_read);
    // The helper built here has CAP_NET_RAW only when this test runs as root.
    const bool root = ::geteuid() == 0;
    using A = CVelqorinNetworkAnalyse;
    struct Case {
        int error;
        std::string helper;
        bool allowed;
        int problem;
        const char* explanationHas;
    } cases[] = {
        {0, "/nonexistent/helper", true, A::RawAccessOk, ""},
        {EPERM, "/nonexistent/helper", false, A::RawAccessNotPermitted, "is not installed"},
        {EACCES, "/nonexistent/helper", false, A::RawAccessNotPermitted, "run as root, or install"},
        {EAFNOSUPPORT, "/nonexistent/helper", false, A::RawAccessNotPermitted, "AF_PACKET"},
        {EMFILE, "/nonexistent/helper", false, A::RawAccessNotPermitted, "cannot open a raw packet socket: "},
        {EPERM, notExecutable.string(), false, A::RawAccessNotInGroup, "velqorin`, then log in again"},
        {EPERM, "/bin/false", false, A::RawAccessHelperFailed, "did not answer as this library expects"},
        {EPERM, VELQORIN_LINK_HELPER_BUILT, root, root ? A::RawAccessOk : A::RawAccessHelperWithoutCapability,
         root ? "" : "lacks CAP_NET_RAW"},
    };
    for (const Case& c : cases) {
        fake.rawError = c.error;
        velqorin::HelperLink helper(c.helper);
        const velqorin::ScopedHelperLink usingHelper(helper);
        CVelqorinNetworkAnalyse a;
        EXPECT_EQ(a.CheckService(), c.allowed) << c.error << " " << c.helper;
        char text[1000] = "x";
        EXPECT_EQ(A::RawAccessProblem(text, sizeof text), c.problem) << c.error << " " << c.helper;
        EXPECT_EQ(text[0] == '\0', c.allowed) << text;
        EXPECT_NE(std::string(text).find(c.explanationHas), std::string::npos) << text;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
