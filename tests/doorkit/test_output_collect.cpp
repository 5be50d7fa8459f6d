// Collected output: what one outermost public call writes reaches the
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

TEST_F(CollectTest, NestedCallsAreSentOnceWhenTheOutermostEnds)
{
    std::string expected;
    DrawScreen();
    expected = caller.Take(); // the same screen, drawn call by call
    ASSERT_FALSE(expected.empty());

    od_control.current_attribute = -1;
    ODSyncAPIEntry();
    DrawScreen();
    EXPECT_GT(ODCoreOutputPending(), 0u);
    EXPECT_EQ(caller.Take(), "") << "nothing leaves in the middle of the update";
    ODSyncAPIExit();
    EXPECT_EQ(ODCoreOutputPending(), 0u);
    EXPECT_EQ(caller.Take(), expected) << "not a byte changed";
}

TEST_F(CollectTest, ReleasingTheApiLevelSendsFirst)
{
    ODSyncAPIEntry();
    od_disp_str("before the wait");
    uint32_t level = ODSyncAPIRelease();
    EXPECT_EQ(caller.Take(), "before the wait");
    ODSyncAPIReacquire(level);
    od_disp_str("after");
    ODSyncAPIExit();
    EXPECT_EQ(caller.Take(), "after");
}

TEST_F(CollectTest, ACheckpointSends)
{
    ODSyncAPIEntry();
    od_disp_str("slice");
    EXPECT_TRUE(ODSyncAPICheckpoint());
    EXPECT_EQ(caller.Take(), "slice");
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
    EXPECT_EQ(caller.Take(), "abc");
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
    EXPECT_EQ(caller.Take(), "\r\nSorry, you have used up all of your time for this session.\r\n\r\n");
    eODLifecycleState = OD_STATE_RUNNING;
    ODSyncAPIExit();
}

TEST_F(CollectTest, WaitingForTheOutputToDrainSendsFirst)
{
    ODSyncAPIEntry();
    od_disp_str("bye");
    ODWaitDrain(1000);
    EXPECT_EQ(caller.Take(), "bye");
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
    EXPECT_EQ(caller.Take(), "direct");
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
