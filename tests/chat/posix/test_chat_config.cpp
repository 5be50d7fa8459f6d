// The sysop's chat settings console through its branches, as scenarios: a
// BBS switched on and off over time, the question, every refusal, and
// enrollment against an HTTPS hub stand-in. The console reads and writes
// this process's standard input and output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../chat_test.h"
#include "https_server.h"
#include "qorb_chat.h"
#include "qorb_hub.h"

namespace {

struct Console {
    int code;
    std::string out;
};

Console Configure(ChatDir &here, int mode, const std::string &answers = "", const char *bbs = "|12Night `Owl")
{
    std::string in_path = here.dir.write(".answers", answers), out_path = here.dir.path(".output");
    fflush(stdout);
    int saved_in = dup(0), saved_out = dup(1);
    int in = open(in_path.c_str(), O_RDONLY), out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    close(in);
    close(out);
    __fpurge(stdin);
    clearerr(stdin);
    Console result;
    result.code = qorb_chat_config(bbs, "grimby", mode);
    fflush(stdout);
    dup2(saved_in, 0);
    dup2(saved_out, 1);
    close(saved_in);
    close(saved_out);
    __fpurge(stdin);
    clearerr(stdin);
    result.out = here.dir.read(".output");
    remove(out_path.c_str());
    remove(in_path.c_str());
    return result;
}

int Mode(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (int)(info.st_mode & 0777) : -1;
}

const std::string kDefaultUrl = qorb_hub_default_url();
const std::string kHubLines = "Hub: " + kDefaultUrl + "\nHub CA: the system's trust store\n";
const std::string kSecret40(40, 'k');

} // namespace

TEST(ChatConfig, ABbsSwitchedOnAndOffKeepsItsSecretExtrasAndEveryOldFile)
{
    ChatDir here;
    umask(022);
    Console c = Configure(here, 0);
    EXPECT_EQ(c.code, 0);
    EXPECT_EQ(c.out, "Shared live chat disabled; hidden from the menu.\n");
    EXPECT_EQ(here.dir.read("chat.json"),
              "{\"enabled\":false,\"bbs\":\"Night Owl\",\"secret\":\"\",\"url\":\"" + kDefaultUrl + "\"}\n");
    EXPECT_FALSE(here.dir.exists("chat.json.previous.1"));
    EXPECT_EQ(Mode(here.dir.path("chat.json")), 0600);

    // Enabling takes the secret and name from the hub credential file.
    here.dir.mkdir("hub");
    here.dir.write("hub/sync.json", "{\"bbs\":\"Owl \\\"Nest\\\"\",\"secret\":\"" + kSecret40 + "\"}");
    c = Configure(here, 1);
    EXPECT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(c.out, kHubLines + "Shared live chat enabled. Existing scores and profiles preserved.\n");
    std::string enabled = "{\"enabled\":true,\"bbs\":\"Owl \\\"Nest\\\"\",\"secret\":\"" + kSecret40 + "\",\"url\":\"" +
                          kDefaultUrl + "\"}\n";
    EXPECT_EQ(here.dir.read("chat.json"), enabled);
    EXPECT_EQ(here.dir.read("chat.json.previous.1"),
              "{\"enabled\":false,\"bbs\":\"Night Owl\",\"secret\":\"\",\"url\":\"" + kDefaultUrl + "\"}\n");
    EXPECT_EQ(Mode(here.dir.path("chat.json.previous.1")), 0600);

    // A sysop's own members ride along after the four known ones.
    here.dir.write("chat.json", "{\"theme\" : {\"c\":[1,2]},\"url\":\"https://lobby.example:8443\",\"enabled\":1,"
                                "\"bbs\":\"Owl\",\"secret\":\"" + kSecret40 + "\",\"z\":\"`\"}");
    chmod(here.dir.path("chat.json").c_str(), 0644);
    c = Configure(here, 0);
    EXPECT_EQ(c.code, 0);
    EXPECT_EQ(here.dir.read("chat.json"), "{\"enabled\":false,\"bbs\":\"Owl\",\"secret\":\"" + kSecret40 +
                                              "\",\"url\":\"https://lobby.example:8443\",\"theme\" : {\"c\":[1,2]},\"z\":\"`\"}\n");
    EXPECT_EQ(Mode(here.dir.path("chat.json")), 0600);
    EXPECT_TRUE(here.dir.exists("chat.json.previous.2"));

    // Asked with the file's answer as default: Enter keeps it, yes is no answer.
    c = Configure(here, -1, "yes\n");
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.out.find("Enable shared live chat? Y/N [N]: Enter Y or N.\n"), std::string::npos) << c.out;
    c = Configure(here, -1, "y\n");
    EXPECT_EQ(c.code, 0) << c.out;
    const std::string kAskHub = "Hub address [" + kDefaultUrl +
                                "]: Hub CA file (NONE for the system's trust store) [NONE]: ";
    EXPECT_EQ(c.out, "\nQ-Orb shared lobby setup (independent of score sharing)\n"
                     "Enable shared live chat? Y/N [N]: " + kHubLines + kAskHub +
                     "Shared live chat enabled. Existing scores and profiles preserved.\n");
    c = Configure(here, -1, "\n");
    EXPECT_NE(c.out.find("Y/N [Y]: " + kHubLines + kAskHub + "Shared live chat enabled."), std::string::npos)
        << c.out;
    // An over-long answer is no answer: the default stands, and its rest is
    // not the next answer (the "n" after it is, and is no hub address).
    c = Configure(here, -1, std::string(3000, 'n') + "\nn\n");
    EXPECT_NE(c.out.find("Y/N [Y]: " + kHubLines + "Hub address [" + kDefaultUrl +
                         "]: The hub address must look like https://host or https://host:port.\n"),
              std::string::npos)
        << c.out;
    EXPECT_EQ(c.code, 0) << c.out;
    c = Configure(here, -1, "n");
    EXPECT_NE(c.out.find("Shared live chat disabled"), std::string::npos) << c.out;
    for (int n = 1; n <= 6; n++) EXPECT_TRUE(here.dir.exists("chat.json.previous." + std::to_string(n))) << n;
    EXPECT_FALSE(here.dir.exists("chat.json.previous.7"));
    EXPECT_FALSE(here.dir.exists("chat.json.tmp." + std::to_string(getpid())));
}

TEST(ChatConfig, EveryRefusalLeavesTheFileAsItWas)
{
    ChatDir here;
    struct Case {
        std::string file;
        int mode;
        std::string answers, says;
    } cases[] = {
        {std::string(16383, ' '), 1, "", "Cannot read existing chat.json; preserved unchanged.\n"},
        {"{\"enabled\":true", 0, "", "Invalid chat.json; preserved unchanged.\n"},
        {std::string("{\"a\":1}\0", 8), 0, "", "Invalid chat.json; preserved unchanged.\n"},
        {"{\"url\":\"http://lobby.example\",\"secret\":\"" + kSecret40 + "\"}", 1, "", "Chat requires HTTPS.\n"},
        {"{\"secret\":\"" + std::string(31, 's') + "\"}", 1, "", "Invalid Hub credential; no settings changed.\n"},
        {"{\"bbs\":\"Owl\\u0001\",\"secret\":\"" + kSecret40 + "\"}", 1, "", "Cannot safely save chat settings.\n"},
        {"{\"bbs\":\"\",\"secret\":\"" + kSecret40 + "\"}", -1, "maybe\n", "Enter Y or N.\n"},
    };
    for (const Case &c : cases) {
        here.dir.write("chat.json", c.file);
        Console run = Configure(here, c.mode, c.answers);
        EXPECT_EQ(run.code, 1) << c.says;
        EXPECT_EQ(run.out.substr(run.out.size() >= c.says.size() ? run.out.size() - c.says.size() : 0), c.says)
            << run.out;
        EXPECT_EQ(here.dir.read("chat.json"), c.file);
        EXPECT_FALSE(here.dir.exists("chat.json.previous.1"));
    }
    // Disabling still works where enabling refused the plain http scheme.
    here.dir.write("chat.json", "{\"url\":\"http://lobby.example\"}");
    EXPECT_EQ(Configure(here, 0).code, 0);
    // An empty file counts as none: no parse, no backup.
    here.dir.write("chat.json", "");
    EXPECT_EQ(Configure(here, 0).code, 0);
    EXPECT_FALSE(here.dir.exists("chat.json.previous.2"));
}

TEST(ChatConfig, EnrollsANewBbsOnlyWhenTheSaveCanFollow)
{
    ChatDir here;
    TestDir tls_dir;
    TestTlsFiles tls;
    ASSERT_TRUE(TestMakeTlsFiles(tls_dir.root(), &tls));
    TestHttpsServer hub;
    std::vector<std::string> bodies;
    int status = 200, cut = 0;
    std::string secret(48, 'Q');
    ASSERT_TRUE(hub.Start(tls, [&](const TestHttpsRequest &request) {
        bodies.push_back(request.path + " " + request.body);
        TestHttpsReply reply;
        reply.status = status;
        reply.body = status == 200 ? "{\"bbs\":\"x\",\"secret\":\"" + secret + "\"}"
                                   : "{\"error\":\"That BBS name is already enrolled.\",\"code\":\"name_taken\"}";
        reply.cut = cut > 0 && cut--;
        return reply;
    }));
    std::string hub_url = "https://localhost:" + std::to_string(hub.port());
    here.dir.write("grimby.json", "{\"hub\":\"" + hub_url + "\",\"hub_ca\":\"" + tls.ca + "\"}");

    // A path that names no file is a mistake to retype; a credential file
    // without a secret leads to enrollment, offering its name.
    here.dir.write("bad.json", "{\"bbs\":\"X\",\"secret\":\"\"}");
    Console c = Configure(here, 1, "hub/sync.jsno\nbad.json\nOwl`s\n");
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.out.find("[hub/sync.json]: No readable file at hub/sync.jsno; type its path again, or NONE for "
                         "a new BBS.\nExisting Hub credential file (or NONE for a new BBS) [hub/sync.jsno]: "
                         "BBS enrollment name [X]: Invalid BBS name.\n"),
              std::string::npos)
        << c.out;
    EXPECT_TRUE(bodies.empty());
    // The game's title is never offered as the name: there is none to take.
    c = Configure(here, 1, "NONE\n\n", "");
    EXPECT_NE(c.out.find("BBS enrollment name: Invalid BBS name.\n"), std::string::npos) << c.out;
    EXPECT_TRUE(bodies.empty());

    // Every save check comes before the request: with no free backup
    // number nothing is sent, and the name is not taken.
    here.dir.write("chat.json", "{\"enabled\":false}");
    for (int n = 1; n <= 9999; n++) here.dir.write("chat.json.previous." + std::to_string(n), "");
    c = Configure(here, 1, "NONE\n\n");
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.out.find("Cannot safely save chat settings.\n"), std::string::npos) << c.out;
    EXPECT_TRUE(bodies.empty());
    remove(here.dir.path("chat.json.previous.9999").c_str());

    // Each failure names its cause before the common sentence; the advice
    // about a credential file only where a name is taken.
    status = 409;
    c = Configure(here, 1, "none\nNew Owl\n");
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.out.find("The hub at " + hub_url + " refused the name \"New Owl\": That BBS name is already "
                         "enrolled.\nEnrollment failed. If this BBS is already registered, reuse its original Hub "
                         "credential file; no settings changed.\n"),
              std::string::npos)
        << c.out;
    ASSERT_EQ(bodies.size(), 1u);
    const std::string kBody = "/v1/enroll/auto {\"bbs\":\"New Owl\",\"game\":\"grimby\",\"enroll_id\":\"";
    ASSERT_EQ(bodies[0].substr(0, kBody.size()), kBody);
    std::string first_id = bodies[0].substr(kBody.size(), 32);
    EXPECT_EQ(first_id.find_first_not_of("0123456789abcdef"), std::string::npos) << bodies[0];
    EXPECT_EQ(here.dir.read("chat.json"), "{\"enabled\":false}");

    // A reply lost twice: the same enrollment went out twice, and the sysop
    // is told the truth; asking again soon repeats it once more.
    status = 200;
    cut = 2;
    c = Configure(here, 1, "none\nNew Owl\n");
    EXPECT_EQ(c.code, 1);
    ASSERT_EQ(bodies.size(), 3u);
    EXPECT_EQ(bodies[1], bodies[2]);
    EXPECT_NE(bodies[1], bodies[0]);
    EXPECT_NE(c.out.find("did not answer after the enrollment was sent"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("Run the setup again with the same name within 15 minutes"), std::string::npos) << c.out;
    EXPECT_EQ(here.dir.read("chat.json"), "{\"enabled\":false}");
    status = 409;
    Configure(here, 1, "none\nNew Owl\n");
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[3], bodies[1]);

    // Nobody listening, and a hub whose certificate the CA did not sign.
    here.dir.write("grimby.json", "{\"hub\":\"https://localhost:1\",\"hub_ca\":\"" + tls.ca + "\"}");
    c = Configure(here, 1, "none\nNew Owl\n");
    EXPECT_NE(c.out.find("The hub at https://localhost:1 cannot be reached ("), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("\nEnrollment failed; no settings changed.\n"), std::string::npos) << c.out;
    here.dir.write("grimby.json", "{\"hub\":\"" + hub_url + "\",\"hub_ca\":\"" + tls.other_ca + "\"}");
    c = Configure(here, 1, "none\nNew Owl\n");
    EXPECT_NE(c.out.find("The hub at " + hub_url + " has a certificate that " + tls.other_ca + " does not trust"),
              std::string::npos)
        << c.out;
    EXPECT_EQ(bodies.size(), 4u);
    here.dir.write("grimby.json", "{\"hub\":\"" + hub_url + "\",\"hub_ca\":\"" + tls.ca + "\"}");
    remove(here.dir.path("chat.enroll.json").c_str());

    status = 200;
    secret = std::string(31, 'Q');
    EXPECT_EQ(Configure(here, 1, "none\nNew Owl\n").code, 1);
    EXPECT_EQ(here.dir.read("chat.json"), "{\"enabled\":false}");

    secret = std::string(48, 'Q');
    c = Configure(here, 1, "none\nNew Owl\n");
    EXPECT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(here.dir.read("chat.json"), "{\"enabled\":true,\"bbs\":\"New Owl\",\"secret\":\"" + secret +
                                              "\",\"url\":\"" + hub_url + "\"}\n");
    EXPECT_NE(c.out.find("Enrolled as \"x\" at " + hub_url + ".\nShared live chat enabled."), std::string::npos)
        << c.out;
    EXPECT_NE(c.out.find("Back up chat.json"), std::string::npos) << c.out;
    EXPECT_FALSE(here.dir.exists("chat.enroll.json"));
    EXPECT_EQ(here.dir.read("chat.json.previous.9999"), "{\"enabled\":false}");
    EXPECT_EQ(Mode(here.dir.path("chat.json")), 0600);

    // Only an I/O failure can remain after the hub answered; the sysop is
    // told how to get the name back.
    here.dir.write("chat.json", "");
    secret = std::string(48, 'R');
    bodies.clear();
    std::string target = here.dir.path("chat.json");
    hub.Stop();
    TestHttpsServer sabotage;
    ASSERT_TRUE(sabotage.Start(tls, [&](const TestHttpsRequest &) {
        remove(target.c_str());
        mkdir(target.c_str(), 0700);
        TestHttpsReply reply;
        reply.body = "{\"secret\":\"" + secret + "\"}";
        return reply;
    }));
    hub_url = "https://localhost:" + std::to_string(sabotage.port());
    here.dir.write("grimby.json", "{\"hub\":\"" + hub_url + "\",\"hub_ca\":\"" + tls.ca + "\"}");
    c = Configure(here, 1, "none\nLast Owl\n");
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.out.find("Cannot safely save chat settings.\nThe hub has enrolled this BBS"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("grimby-hub --reset-bbs NAME"), std::string::npos) << c.out;
    EXPECT_FALSE(here.dir.exists("chat.json.tmp." + std::to_string(getpid())));
}
