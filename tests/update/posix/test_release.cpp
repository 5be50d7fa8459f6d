// grimby-release: what it publishes is what the hub serves and what the
// updater accepts; --verify catches a release changed after publishing.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "hub_process.h"
#include "testdir.h"

namespace {

const std::string kTool = GRIMBY_BINARY_DIR "/tools/grimby-release";
const std::string kKey = GRIMBY_BINARY_DIR "/update/test-release-key";

int Tool(const std::string &args, const std::string &env = "")
{
    return HubShell(env + " '" + kTool + "' " + args + " >/dev/null 2>&1");
}

}  // namespace

TEST(GrimbyRelease, TheHubServesWhatItPublishesAndVerifyCatchesChanges)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    TestDir dir;
    std::string package = dir.write("GRIMBY-SETUP.exe", std::string(100000, 'p') + "MZ");
    std::string host = "localhost:" + std::to_string(hub.port());
    std::string release = hub.release_dir();
    ASSERT_EQ(Tool("--package '" + package + "' --version 2.0.10 --notes 'Winter' --key " + kKey + ".pem --host " +
                   host + " '" + release + "'"),
              0);
    HubReply manifest = hub.Get("/updates/grimby/windows-x64.txt");
    EXPECT_EQ(manifest.status, 200);
    EXPECT_NE(manifest.body.find("url=https://" + host + "/updates/packages/GRIMBY-SETUP-2.0.10.exe\n"),
              std::string::npos)
        << manifest.body;
    EXPECT_EQ(hub.Get("/updates/grimby/windows-x64.sig").body.size(), 384u);
    EXPECT_EQ(hub.Get("/updates/packages/GRIMBY-SETUP-2.0.10.exe").body, dir.read("GRIMBY-SETUP.exe"));

    std::string verify = "--verify '" + release + "' --public-key " + kKey + ".der --host " + host;
    EXPECT_EQ(Tool(verify), 0);
    EXPECT_NE(Tool("--verify '" + release + "' --public-key " + kKey + ".der --host elsewhere.example"), 0);
    // A changed package, then a changed manifest.
    std::string served = release + "/packages/GRIMBY-SETUP-2.0.10.exe";
    ASSERT_EQ(HubShell("printf x >> '" + served + "'"), 0);
    EXPECT_NE(Tool(verify), 0);
    ASSERT_EQ(HubShell("sed -i s/Winter/Summer/ '" + release + "/grimby/windows-x64.txt'"), 0);
    EXPECT_NE(Tool(verify), 0);

    // The key from the environment; a second release replaces the first.
    ASSERT_EQ(Tool("--package '" + package + "' --version 2.0.11 --notes 'Spring' --host " + host + " '" + release +
                       "'",
                   "GRIMBY_RELEASE_KEY=\"$(cat " + kKey + ".pem)\""),
              0);
    EXPECT_EQ(Tool(verify), 0);
}

TEST(GrimbyRelease, RefusesWhatTheUpdaterWouldRefuse)
{
    TestDir dir;
    std::string package = dir.write("GRIMBY-SETUP.exe", "MZ");
    std::string out = dir.mkdir("out");
    std::string base = "--package '" + package + "' --key " + kKey + ".pem --host localhost:1 ";
    EXPECT_NE(Tool(base + "--version 2.0 --notes x '" + out + "'"), 0);
    EXPECT_NE(Tool(base + "--version 2.0.10000 --notes x '" + out + "'"), 0);
    EXPECT_NE(Tool(base + "--version 2.0.1 --notes \"$(printf 'two\\nlines')\" '" + out + "'"), 0);
    EXPECT_NE(Tool(base + "--version 2.0.1 --notes \"$(head -c 2048 /dev/zero | tr '\\0' n)\" '" + out + "'"), 0);
    ASSERT_EQ(HubShell("openssl genrsa -out '" + dir.path("small.pem") + "' 2048 2>/dev/null"), 0);
    EXPECT_NE(Tool("--package '" + package + "' --key '" + dir.path("small.pem") +
                   "' --host localhost:1 --version 2.0.1 --notes x '" + out + "'"),
              0);
    EXPECT_NE(Tool("--package '" + dir.path("absent.exe") + "' --key " + kKey +
                   ".pem --host localhost:1 --version 2.0.1 --notes x '" + out + "'"),
              0);
    EXPECT_FALSE(dir.exists("out/grimby/windows-x64.txt"));
    // Without --key and without the environment variable: no key.
    EXPECT_NE(Tool(base.substr(0, base.find("--key")) + "--host localhost:1 --version 2.0.1 --notes x '" + out + "'",
                   "GRIMBY_RELEASE_KEY="),
              0);
}

// A package whose updater trusts a throw-away key would lock every BBS that
// installs it out of real releases: it is never published or verified.
TEST(GrimbyRelease, RefusesAPackageBuiltWithATestKey)
{
    TestDir dir;
    std::string marked = std::string(5000, 'p') + "GRIMBY TEST RELEASE KEY - NOT FOR DISTRIBUTION" + "MZ";
    std::string package = dir.write("GRIMBY-SETUP.exe", marked);
    std::string out = dir.mkdir("out");
    EXPECT_NE(Tool("--package '" + package + "' --key " + kKey + ".pem --host localhost:1 --version 2.0.1 --notes x '" +
                   out + "'"),
              0);
    EXPECT_FALSE(dir.exists("out/packages/GRIMBY-SETUP-2.0.1.exe"));

    // Published by other means, signed with the right key: --verify says no.
    std::string clean = dir.write("clean.exe", std::string(marked.size(), 'p'));
    ASSERT_EQ(Tool("--package '" + clean + "' --key " + kKey + ".pem --host localhost:1 --version 2.0.1 --notes x '" +
                   out + "'"),
              0);
    std::string verify = "--verify '" + out + "' --public-key " + kKey + ".der --host localhost:1";
    ASSERT_EQ(Tool(verify), 0);
    std::string served = dir.path("out/packages/GRIMBY-SETUP-2.0.1.exe");
    ASSERT_TRUE(TestWriteFile(served, marked));
    std::string manifest = dir.read("out/grimby/windows-x64.txt");
    std::string sha = "sha256=";
    size_t at = manifest.find(sha) + sha.size();
    ASSERT_EQ(HubShell("sha256sum '" + served + "' | cut -c1-64 >'" + dir.path("sum") + "'"), 0);
    manifest.replace(at, 64, dir.read("sum").substr(0, 64));
    dir.write("out/grimby/windows-x64.txt", manifest);
    ASSERT_EQ(HubShell("openssl dgst -sha256 -sign " + kKey + ".pem -out '" + dir.path("out/grimby/windows-x64.sig") +
                       "' '" + dir.path("out/grimby/windows-x64.txt") + "'"),
              0);
    EXPECT_NE(Tool(verify), 0);
}

// Someone who can write in the release directory plants links where the
// publisher writes: at a temporary name it might use, and in place of
// grimby/. Neither is written through.
TEST(GrimbyRelease, WritesThroughNoLinkPlantedInTheReleaseDirectory)
{
    TestDir dir;
    std::string package = dir.write("GRIMBY-SETUP.exe", "MZ");
    std::string victim = dir.write("victim.txt", "keep me");
    std::string release = dir.mkdir("release");
    std::string base = "--package '" + package + "' --key " + kKey + ".pem --host localhost:1 --notes x ";
    ASSERT_EQ(HubShell("mkdir '" + release + "/packages' && ln -s '" + victim + "' '" + release +
                       "/packages/GRIMBY-SETUP-2.0.1.exe.tmp'"),
              0);
    EXPECT_EQ(Tool(base + "--version 2.0.1 '" + release + "'"), 0);
    EXPECT_EQ(dir.read("victim.txt"), "keep me");
    EXPECT_EQ(dir.read("release/packages/GRIMBY-SETUP-2.0.1.exe"), "MZ");
    EXPECT_NE(HubShell("find '" + release + "' -name '*.tmp' ! -name GRIMBY-SETUP-2.0.1.exe.tmp | grep -q ."), 0)
        << "a temporary file was left";

    std::string elsewhere = dir.mkdir("elsewhere");
    ASSERT_EQ(HubShell("rm -r '" + release + "/grimby' && ln -s '" + elsewhere + "' '" + release + "/grimby'"), 0);
    EXPECT_NE(Tool(base + "--version 2.0.2 '" + release + "'"), 0);
    EXPECT_FALSE(dir.exists("elsewhere/windows-x64.txt"));
    EXPECT_FALSE(dir.exists("elsewhere/windows-x64.sig"));
}
