// grimby-hub's command line: the starter directory and bad configurations.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "hub_process.h"
#include "testdir.h"

namespace {

std::string HubRun(const std::string &args, int *code)
{
    TestDir out;
    *code = HubShell("'" + HubBinary() + "' " + args + " >'" + out.path("out") + "' 2>&1");
    return out.read("out");
}

TEST(HubService, InitWritesAStarterThatServesAndRefusesToOverwrite)
{
    TestDir dir;
    int code = -1;
    // Secrets stay private whatever the umask of whoever runs it.
    code = HubShell("umask 000; '" + HubBinary() + "' --init '" + dir.path("hub") +
                    "' --host localhost --host 127.0.0.1 >'" + dir.path("out") + "' 2>&1");
    std::string out = dir.read("out");
    ASSERT_EQ(0, code) << out;
    EXPECT_NE(std::string::npos, out.find(dir.path("hub") + "/ca.pem")) << out;
    auto mode = [&dir](const char *name) {
        struct stat st;
        return stat(dir.path(name).c_str(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
    };
    EXPECT_EQ(0700, mode("hub"));
    for (const char *name : {"hub/hub.db", "hub/key.pem", "hub/ca.key", "hub/hub.json"})
        EXPECT_EQ(0600, mode(name)) << name;
    // A server certificate the CA signed, which cannot sign others itself.
    EXPECT_EQ(0, HubShell("openssl verify -CAfile '" + dir.path("hub/ca.pem") + "' '" +
                          dir.path("hub/cert.pem") + "' >/dev/null"));
    code = HubShell("openssl x509 -in '" + dir.path("hub/cert.pem") +
                    "' -noout -ext basicConstraints,extendedKeyUsage,subjectAltName >'" +
                    dir.path("ext") + "'");
    std::string ext = dir.read("ext");
    for (const char *want : {"CA:FALSE", "TLS Web Server Authentication", "DNS:localhost",
                             "IP Address:127.0.0.1"})
        EXPECT_NE(std::string::npos, ext.find(want)) << ext;
    std::string config = dir.read("hub/hub.json");
    EXPECT_NE(std::string::npos, config.find("\"port\": 443"));
    HubRun("--init '" + dir.path("hub") + "'", &code);
    EXPECT_EQ(1, code) << "nothing is overwritten";
    EXPECT_EQ(config, dir.read("hub/hub.json"));

    // The starter, moved to a free port, serves with its own certificate.
    HubProcess hub;
    auto set = [&config](const std::string &from, const std::string &to) {
        size_t at = config.find(from);
        ASSERT_NE(std::string::npos, at) << from;
        config.replace(at, from.size(), to);
    };
    set("\"port\": 443", "\"port\": 0, \"port_file\": \"" + hub.dir() + "/port" + "\"");
    set("0.0.0.0", "127.0.0.1");
    for (const char *name : {"cert.pem", "key.pem", "hub.db", "releases"})
        set(std::string("\"") + name + "\"", "\"" + dir.path("hub/") + name + "\"");
    std::ofstream(hub.config_file()) << config;
    ASSERT_TRUE(hub.Start()) << hub.log();
    int curl = HubShell("curl -sf --cacert '" + dir.path("hub/ca.pem") + "' https://localhost:" +
                        std::to_string(hub.port()) + "/v1/scores/daily.tsv >/dev/null");
    EXPECT_EQ(0, curl);
    EXPECT_EQ(0600, mode("hub/hub.db-wal"));
    EXPECT_EQ(0, hub.Stop());
}

TEST(HubService, BadConfigurationsEndWithOneSentence)
{
    TestDir dir;
    const char *configs[] = {
        "", "{", "{\"port\":0}", "{\"port\":\"443\",\"certificate\":\"c\",\"key\":\"k\","
        "\"database\":\"d\",\"release_dir\":\"r\"}",
        "{\"port\":70000,\"certificate\":\"c\",\"key\":\"k\",\"database\":\"d\",\"release_dir\":\"r\"}",
        "{\"port\":0,\"certificate\":\"missing.pem\",\"key\":\"missing.pem\",\"database\":\"d.db\","
        "\"release_dir\":\".\"}",
        "{\"port\":0,\"thread\":4,\"certificate\":\"c\",\"key\":\"k\",\"database\":\"d\","
        "\"release_dir\":\"r\"}"};
    for (const char *config : configs) {
        dir.write("hub.json", config);
        int code = -1;
        std::string out = HubRun("--config '" + dir.path("hub.json") + "'", &code);
        EXPECT_EQ(1, code) << config;
        EXPECT_EQ(0u, out.find("grimby-hub: ")) << out;
        EXPECT_EQ(out.size() - 1, out.find('\n')) << "one line: " << out;
    }
    int code = -1;
    EXPECT_NE(std::string::npos, HubRun("--config '" + dir.path("hub.json") + "'", &code)
                                     .find("unknown key \"thread\""));
    HubRun("--config '" + dir.path("absent.json") + "'", &code);
    EXPECT_EQ(1, code);
}

// Two hubs on one port would split the network between two databases.
TEST(HubService, ASecondHubOnABoundPortFailsAtStart)
{
    HubProcess first;
    ASSERT_TRUE(first.Start());
    std::string config = TestReadFile(first.config_file());
    size_t at = config.find("\"port\":0");
    ASSERT_NE(std::string::npos, at);
    config.replace(at, 8, "\"port\":" + std::to_string(first.port()));
    std::string second = first.dir() + "/second.json";  // the same files beside it
    TestWriteFile(second, config);
    int code = -1;
    std::string out = HubRun("--config '" + second + "'", &code);
    EXPECT_EQ(1, code) << out;
    EXPECT_EQ(0u, out.find("grimby-hub: cannot listen on 127.0.0.1:" +
                           std::to_string(first.port()) + ": the port is in use"))
        << out;
    EXPECT_EQ(out.size() - 1, out.find('\n')) << "one line: " << out;
    EXPECT_EQ(0, first.Stop());
}

}  // namespace
