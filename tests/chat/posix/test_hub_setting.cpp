// The door directory's hub setting in grimby.json: what it accepts, what it
// refuses with a reason, how it is written back, and that a request to the
// real hub trusts the CA it names and no other.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "https_server.h"
#include "hub_process.h"
#include "qorb_chat_int.h"
#include "qorb_hub.h"
#include "testdir.h"

TEST(HubSetting, TheRealHubIsReachedThroughTheSettingTrustingOnlyItsCa)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    TestDir door;
    door.mkdir("certs");
    door.write("certs/hub-ca.pem", TestReadFile(hub.ca_file()));
    door.write("grimby.json", "{\"bbs_name\":\"Night Owl\",\"hub\":\"" + hub.url() +
                                  "/\",\"hub_ca\":\"certs/hub-ca.pem\"}");

    qorb_hub_setting setting;
    char why[200];
    ASSERT_EQ(qorb_hub_setting_load(door.root().c_str(), &setting, why, sizeof why), 1) << why;
    EXPECT_EQ(std::string(setting.url), hub.url());
    EXPECT_EQ(std::string(setting.ca_file), door.path("certs/hub-ca.pem"));

    char reply[4096];
    long status = 0;
    ASSERT_EQ(qorb_hub_post(&setting, "/v1/enroll/auto", "{\"bbs\":\"Setting Test\",\"game\":\"grimby\"}",
                            nullptr, reply, sizeof reply, &status),
              1);
    EXPECT_EQ(status, 200) << reply;

    // The same hub under a CA that did not sign its certificate is refused
    // as untrusted, not as unreachable.
    TestTlsFiles other;
    ASSERT_TRUE(TestMakeTlsFiles(door.root(), &other));
    door.write("certs/hub-ca.pem", TestReadFile(other.ca));
    ASSERT_EQ(qorb_hub_setting_load(door.root().c_str(), &setting, why, sizeof why), 1) << why;
    EXPECT_EQ(qorb_hub_post(&setting, "/v1/enroll/auto", "{\"bbs\":\"Setting Test 2\",\"game\":\"grimby\"}",
                            nullptr, reply, sizeof reply, &status),
              0);
    EXPECT_EQ(pn_failure(nullptr, 0), PN_UNTRUSTED);

    // A port nobody listens on is unreachable.
    hub.Kill();
    door.write("certs/hub-ca.pem", TestReadFile(hub.ca_file()));
    ASSERT_EQ(qorb_hub_setting_load(door.root().c_str(), &setting, why, sizeof why), 1) << why;
    EXPECT_EQ(qorb_hub_post(&setting, "/v1/chat", "{}", nullptr, reply, sizeof reply, &status), 0);
    EXPECT_EQ(pn_failure(nullptr, 0), PN_UNREACHABLE);
}

TEST(HubSetting, RefusesWhatItCannotUseAndKeepsTheBuildsHubOtherwise)
{
    TestDir door;
    qorb_hub_setting setting;
    char why[200];
    ASSERT_EQ(qorb_hub_setting_load(door.root().c_str(), &setting, why, sizeof why), 1);
    EXPECT_EQ(std::string(setting.url), qorb_hub_default_url());
    EXPECT_EQ(std::string(setting.ca_file), "");

    door.write("grimby.json", "{\"bbs_name\":\"X\",\"hub\":\"\"}");
    ASSERT_EQ(qorb_hub_setting_load(door.root().c_str(), &setting, why, sizeof why), 1);
    EXPECT_EQ(std::string(setting.url), qorb_hub_default_url());

    const char *refused[] = {
        "{\"hub\":\"http://hub.example.net\"}",
        "{\"hub\":\"https://hub.example.net/v1\"}",
        "{\"hub\":\"https://user@hub.example.net\"}",
        "{\"hub\":\"https://hub.example.net:0\"}",
        "{\"hub\":\"https://hub.example.net:65536\"}",
        "{\"hub\":\"https://\"}",
        "{\"hub\":42}",
        "{\"hub_ca\":\"missing.pem\"}",
        "{\"hub\":\"https://hub.example.net\"",
    };
    // A name the reader cannot take would hide a "hub" after it.
    std::string hidden = "{\"" + std::string(128, 'k') + "\":1,\"hub\":\"https://other.example\"}";
    std::vector<std::string> texts(std::begin(refused), std::end(refused));
    texts.push_back(hidden);
    for (const std::string &text : texts) {
        door.write("grimby.json", text);
        why[0] = '\0';
        EXPECT_EQ(qorb_hub_setting_load(door.root().c_str(), &setting, why, sizeof why), 0) << text;
        EXPECT_NE(std::string(why), "") << text;
        EXPECT_EQ(std::string(setting.url), qorb_hub_default_url()) << text;
    }
    door.write("grimby.json", std::string("{\"hub\":\"https://h\"}\0x", 21));
    EXPECT_EQ(qorb_hub_setting_load(door.root().c_str(), &setting, why, sizeof why), 0);
}

TEST(HubSetting, SavingKeepsTheSysopsOtherSettingsAndTheirLayout)
{
    TestDir door;
    std::string before = "{\n  \"bbs_name\": \"Night Owl\",\n  \"score_sharing\": {\"enabled\": true}\n}\n";
    door.write("grimby.json", before);
    chmod(door.path("grimby.json").c_str(), 0644);
    char why[200];
    ASSERT_EQ(qorb_hub_setting_save(door.root().c_str(), "https://hub.example.net:8443", "ca.pem", why,
                                    sizeof why),
              1)
        << why;
    EXPECT_EQ(door.read("grimby.json"),
              "{\n  \"bbs_name\": \"Night Owl\",\n  \"score_sharing\": {\"enabled\": true},\n"
              "  \"hub\": \"https://hub.example.net:8443\",\n  \"hub_ca\": \"ca.pem\"\n}\n");
    struct stat info;
    ASSERT_EQ(stat(door.path("grimby.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    // A second save changes the values where they stand.
    ASSERT_EQ(qorb_hub_setting_save(door.root().c_str(), "https://other.example.net", "", why, sizeof why), 1);
    EXPECT_EQ(door.read("grimby.json"),
              "{\n  \"bbs_name\": \"Night Owl\",\n  \"score_sharing\": {\"enabled\": true},\n"
              "  \"hub\": \"https://other.example.net\",\n  \"hub_ca\": \"\"\n}\n");

    // A file that is not JSON is left alone.
    door.write("grimby.json", "{\"bbs_name\": ");
    EXPECT_EQ(qorb_hub_setting_save(door.root().c_str(), "https://hub.example.net", "", why, sizeof why), 0);
    EXPECT_EQ(door.read("grimby.json"), "{\"bbs_name\": ");
}
