// Collected output: what the door draws between two waits reaches the
// connection as one update, unchanged and in order, and nothing is held
// back while the door waits, sleeps or shuts down.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODCore.h"
#include "ODInEx.h"
#include "ODScrn.h"
#include "ODSync.h"
#include "ODInQue.h"
#include "ODKrnl.h"
#include "ODPlat.h"

#include "test_output_caller.h"

#include <string>
#include <thread>

namespace {

class CollectTest : public ::testing::Test {
protected:
    OutputCaller caller;
    void SetUp() override { ASSERT_TRUE(caller.Start(ANSI)); }
    void TearDown() override { caller.Stop(); }
};

// What a game does between two key waits: one screen, many calls.
void DrawScreen()
{
    od_clr_scr();
    od_set_color(14, 1);
    od_set_cursor(2, 10);
    od_disp_str(" title ");
    od_set_color(7, 0);
    for (int row = 4; row < 20; row++) {
        od_set_cursor(row, 5);
        od_printf("`bright green`%02d`grey` line of the menu", row);
    }
    od_repeat('-', 70);
}

TEST_F(CollectTest, AScreenDrawnBetweenTwoWaitsIsOneUpdate)
{
    DrawScreen();
    std::string expected = caller.Take(); // the same screen, sent at once
    ASSERT_FALSE(expected.empty());

    od_control.current_attribute = -1;
    DrawScreen();
    EXPECT_GT(ODCoreOutputPending(), 0u);
    EXPECT_EQ(caller.Peek(), "") << "nothing leaves while the door is drawing";
    od_key_pending(); // the door looks for a key: the screen is done
    EXPECT_EQ(ODCoreOutputPending(), 0u);
    EXPECT_EQ(caller.Peek(), expected) << "not a byte changed";
}

TEST_F(CollectTest, TheEndOfACallThatIsNotOutputSends)
{
    ODSyncAPIEntry();
    od_disp_str("inside");
    EXPECT_EQ(caller.Peek(), "");
    ODSyncAPIExit();
    EXPECT_EQ(caller.Peek(), "inside");

    od_disp_str("poll");
    EXPECT_EQ(od_get_key(0), 0);
    EXPECT_EQ(caller.Peek(), "poll");
    od_disp_str("carrier");
    od_carrier();
    EXPECT_EQ(caller.Peek(), "carrier");
}

TEST_F(CollectTest, TheStartOfACallThatIsNotOutputSends)
{
    // od_exit enters the API first thing, before it may close the line.
    od_disp_str("Goodbye!");
    ODSyncAPIEntry();
    EXPECT_EQ(caller.Peek(), "Goodbye!");
    ODSyncAPIExit();

    // Output calls nested in output calls keep collecting.
    od_set_color(12, 0); // enters od_set_attrib inside
    EXPECT_EQ(caller.Peek(), "");
    EXPECT_GT(ODCoreOutputPending(), 0u);
}

TEST_F(CollectTest, TheGameThreadSendsBeforeItSleeps)
{
    od_disp_str("frame 1");
    ODPlatSleepMs(1);
    EXPECT_EQ(caller.Peek(), "frame 1");
    od_disp_str("frame 2");
    od_sleep(0);
    EXPECT_EQ(caller.Peek(), "frame 2");
}

TEST_F(CollectTest, AnotherThreadsSleepSendsNothing)
{
    od_disp_str("game");
    std::thread other([] { ODPlatSleepMs(1); });
    other.join();
    EXPECT_EQ(caller.Peek(), "") << "only the game thread talks to the caller";
    EXPECT_EQ(ODCoreOutputPending(), 4u);
}

// A request dispatched at the start of an output call that waits for keys
// (sysop chat) must still reach the caller while it waits.
int nChatRequests = 0;
std::string ChatSeen;
OutputCaller *pChatCaller = nullptr;

void ChatRequest()
{
    if (nChatRequests == 0) return;
    nChatRequests--;
    ODSyncAPIEntry();
    od_disp_str("chat mode");
    uint32_t level = ODSyncAPIRelease(); // the chat's wait for a key
    ChatSeen = pChatCaller->Peek();
    ODSyncAPIReacquire(level);
    ODSyncAPIExit();
}

TEST_F(CollectTest, AWaitNestedInAnOutputCallStillSends)
{
    pChatCaller = &caller;
    pfODSyncDispatchRequests = ChatRequest;
    nChatRequests = 1;
    od_disp_str("typed");
    pfODSyncDispatchRequests = nullptr;
    EXPECT_EQ(ChatSeen, "chat mode");
    EXPECT_EQ(caller.Take(), "typed");
}

TEST_F(CollectTest, ReleasingTheApiLevelSendsFirst)
{
    ODSyncAPIEntry();
    od_disp_str("before the wait");
    uint32_t level = ODSyncAPIRelease();
    EXPECT_EQ(caller.Peek(), "before the wait");
    ODSyncAPIReacquire(level);
    od_disp_str("after");
    ODSyncAPIExit();
    EXPECT_EQ(caller.Peek(), "after");
}

TEST_F(CollectTest, ACheckpointSends)
{
    ODSyncAPIEntry();
    od_disp_str("slice");
    EXPECT_TRUE(ODSyncAPICheckpoint());
    EXPECT_EQ(caller.Peek(), "slice");
    ODSyncAPIExit();
}

TEST_F(CollectTest, AFullBufferIsSentAndOrderIsKept)
{
    std::string expected;
    for (int i = 0; i < 600; i++)
        expected += std::to_string(i) + std::string(90, (char)('a' + i % 26)) + "\r\n";
    std::string huge(3 * OD_OUTPUT_BUFFER_SIZE, 'H');
    caller.StartReader(expected.size() + huge.size() + 3);
    ODSyncAPIEntry();
    for (int i = 0; i < 600; i++) {
        std::string piece = std::to_string(i) + std::string(90, (char)('a' + i % 26)) + "\r\n";
        od_disp(piece.data(), (int)piece.size(), 0);
        EXPECT_LE(ODCoreOutputPending(), (size_t)OD_OUTPUT_BUFFER_SIZE);
    }
    od_disp(huge.data(), (int)huge.size(), 0);
    expected += huge;
    od_disp_str("end");
    expected += "end";
    ODSyncAPIExit();
    EXPECT_EQ(caller.JoinReader(), expected);
}

TEST_F(CollectTest, ImmediateTransfersGoAfterWhatIsCollected)
{
    ODSyncAPIEntry();
    od_disp_str("a");
    EXPECT_EQ(ODCoreSendRemoteBuffer((const uint8_t *)"b", 1), 0);
    EXPECT_EQ(ODCoreSendRemoteByte('c'), 0);
    EXPECT_EQ(caller.Peek(), "abc");
    ODSyncAPIExit();
}

TEST_F(CollectTest, ShuttingTheScreensDownSendsWhatIsLeft)
{
    // An exit from inside a call (the kernel ending the session) never
    // reaches the outermost end: the shutdown before the port closes sends.
    ODSyncAPIEntry();
    od_disp_str("\r\nSorry, you have used up all of your time for this session.\r\n\r\n");
    eODLifecycleState = OD_STATE_EXITING;
    ODSessionScreenShutdown();
    EXPECT_EQ(caller.Peek(), "\r\nSorry, you have used up all of your time for this session.\r\n\r\n");
    eODLifecycleState = OD_STATE_RUNNING;
    ODSyncAPIExit();
}

TEST_F(CollectTest, WaitingForTheOutputToDrainSendsFirst)
{
    ODSyncAPIEntry();
    od_disp_str("bye");
    ODWaitDrain(1000);
    EXPECT_EQ(caller.Peek(), "bye");
    ODSyncAPIExit();
}

TEST_F(CollectTest, WithoutTheSyncHookNothingIsCollected)
{
    // A kit whose screens were never started has no sync point that would
    // send collected bytes, so they go at once.
    pfODSyncPublishScreen = nullptr;
    ODSyncAPIEntry();
    od_disp_str("direct");
    EXPECT_EQ(ODCoreOutputPending(), 0u);
    EXPECT_EQ(caller.Peek(), "direct");
    ODSyncAPIExit();
    pfODSyncPublishScreen = ODCoreSyncPoint;
}

} // namespace

namespace {

TEST_F(CollectTest, Utf8ConversionSeesWholeUpdates)
{
    od_control.remote_utf8 = 1;
    ODSyncAPIEntry();
    od_disp_str("\xc9\xcd");
    od_set_color(15, 1);
    od_disp_str("\xbb");
    ODSyncAPIExit();
    EXPECT_EQ(caller.Take(), "\xe2\x95\x94\xe2\x95\x90\x1b[0;1;37;44m\xe2\x95\x97");
}

TEST_F(CollectTest, OutputRunsTheKernelWhenItsTimeHasCome)
{
    ODPlatClockUseVirtual(1000000, 1700000000);
    ODTimerStart(&RunKernelTimer, OD_KERNEL_PERIOD_MS);
    ASSERT_TRUE(caller.link.Send("k"));
    od_disp_str("a");
    EXPECT_EQ(ODInQueueWaiting(hODInputQueue), 0) << "the kernel's time has not come";
    ODPlatClockAdvance(OD_KERNEL_PERIOD_MS);
    od_disp_str("b");
    EXPECT_EQ(ODInQueueWaiting(hODInputQueue), 1) << "the caller's key was taken in";
    od_putch('c');
    EXPECT_EQ(caller.Take(), "abc");
    ODPlatClockUseReal();
}

} // namespace
