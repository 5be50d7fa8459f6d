// A whole update goes on the wire at once, and the caller's socket keeps
// Nagle on for everything else, as the BBS handed it over.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "ODCom.h"
#include "doorkit.h"
#include "session.h"

namespace {

int NoDelay(int fd)
{
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length);
    return value;
}

TEST(ComPush, AnUpdateArrivesWholeAndNagleStaysOn)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, TEST_LINK_TCP));
    int door = (int)od_control.open_handle;
    EXPECT_EQ(NoDelay(door), 0);
    // Something the caller has not acknowledged yet, then an update drawn
    // call by call: it arrives whole without waiting for that.
    ASSERT_EQ(ODComSendBuffer(hSerialPort, (const uint8_t *)"BBS says bye\r\n", 14), ODCOM_OK);
    od_disp_str("first ");
    od_disp_str("screen");
    od_kernel();
    EXPECT_EQ(caller.Receive(26, 2000), "BBS says bye\r\nfirst screen");
    EXPECT_EQ(NoDelay(door), 0);
}

} // namespace
