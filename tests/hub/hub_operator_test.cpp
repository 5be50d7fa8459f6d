// Enrollment that survives a lost reply, and the operator's hold on the
// network: removing a cheat's scores, banning, listing, while it runs.
#include <gtest/gtest.h>

#include <string>

#include "hub_test_util.h"

namespace {

std::string Secret(const HubReply &r)
{
    size_t at = r.body.find("\"secret\":\"");
    return at == std::string::npos ? "" : r.body.substr(at + 10, 48);
}

TEST(HubOperator, EnrollmentRetriedWithItsIdGetsTheSameSecret)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    std::string first = "{\"bbs\":\"Lost Reply\",\"enroll_id\":\"" + std::string(32, 'a') + "\"}";
    HubReply a = hub.Post("/v1/enroll/auto", first);
    ASSERT_EQ(200, a.status) << a.body;
    HubReply again = hub.Post("/v1/enroll/auto", first);
    EXPECT_EQ(200, again.status) << again.body;
    EXPECT_EQ(Secret(a), Secret(again));
    // Another attempt, or none named, finds the name taken.
    HubReply other = hub.Post("/v1/enroll/auto", "{\"bbs\":\"lost reply\",\"enroll_id\":\"" +
                                                     std::string(32, 'b') + "\"}");
    EXPECT_EQ(409, other.status);
    EXPECT_EQ("name_taken", other.code);
    EXPECT_EQ("", Secret(other));
    EXPECT_EQ(409, hub.Post("/v1/enroll/auto", "{\"bbs\":\"Lost Reply\"}").status);
    EXPECT_EQ("bad_request", hub.Post("/v1/enroll/auto", "{\"bbs\":\"X\",\"enroll_id\":\"" +
                                                             std::string(32, 'A') + "\"}")
                                 .code);
}

}  // namespace
