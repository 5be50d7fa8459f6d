// API nesting and the public-call rule.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODInEx.h"
#include "ODSync.h"

namespace {

int dispatches = 0;
int publishes = 0;
int kernel_passes = 0;

void CountDispatch() { dispatches++; }
void CountPublish() { publishes++; }
void CountKernel() { kernel_passes++; }

// A local session with no local display: start-up needs nothing more.
void LocalSession()
{
    od_control.force_local = 1;
    od_control.silent_mode = 1;
}

class SyncTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LocalSession();
        od_init();
        ASSERT_EQ(eODLifecycleState, OD_STATE_RUNNING);
        // Start-up installed the kernel's and the screen's own hooks.
        pfODSyncDispatchRequests = CountDispatch;
        pfODSyncPublishScreen = CountPublish;
        pfODSyncKernelPass = CountKernel;
        dispatches = publishes = kernel_passes = 0;
    }
};

TEST_F(SyncTest, OnlyTheOutermostCallDispatchesAndPublishes)
{
    ODSyncAPIEntry();
    EXPECT_EQ(dispatches, 1);
    ODSyncAPIEntry();  // nested: nothing deferred runs
    EXPECT_EQ(dispatches, 1);
    ODSyncAPIExit();
    EXPECT_EQ(dispatches, 1);
    EXPECT_EQ(publishes, 0);
    EXPECT_EQ(nAPILevel, 1u);
    ODSyncAPIExit();
    EXPECT_EQ(dispatches, 2);
    EXPECT_EQ(publishes, 1);
    EXPECT_EQ(nAPILevel, 0u);
    ODSyncAPIExit();  // at level 0: nothing
    EXPECT_EQ(publishes, 1);
}

TEST_F(SyncTest, ReleaseAndReacquireAroundAWait)
{
    ODSyncAPIEntry();
    ODSyncAPIEntry();
    EXPECT_TRUE(ODSyncAPIIsNested());
    uint32_t saved = ODSyncAPIRelease();
    EXPECT_EQ(saved, 2u);
    EXPECT_EQ(publishes, 1);
    EXPECT_FALSE(ODSyncAPIIsNested());
    ODSyncAPIReacquire(saved);
    EXPECT_EQ(nAPILevel, 2u);
}

TEST_F(SyncTest, CheckpointRunsTheKernelOnlyInsideACall)
{
    EXPECT_TRUE(ODSyncAPICheckpoint());
    EXPECT_EQ(kernel_passes, 0);
    EXPECT_EQ(publishes, 0);
    ODSyncAPIEntry();
    EXPECT_TRUE(ODSyncAPICheckpoint());
    EXPECT_EQ(kernel_passes, 1);
    EXPECT_EQ(publishes, 1);
    EXPECT_EQ(nAPILevel, 1u);
    eODLifecycleState = OD_STATE_EXITING;
    EXPECT_FALSE(ODSyncAPICheckpoint());
    EXPECT_EQ(kernel_passes, 1);
}

TEST_F(SyncTest, PublicCallsAreRefusedOnceExiting)
{
    eODLifecycleState = OD_STATE_EXITING;
    od_control.last_error = 0;
    EXPECT_FALSE(ODSyncPublicCallAllowed());
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
    od_control.last_error = 0;
    EXPECT_EQ(od_control_get(), nullptr);
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
    od_control.last_error = 0;
    {
        ODPublicCall call;
        EXPECT_FALSE(call.entered);
    }
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
    EXPECT_EQ(nAPILevel, 0u);
}

TEST(PublicCallRule, FirstPublicCallStartsTheKit)
{
    ASSERT_EQ(bODInitialized, 0);
    LocalSession();
    {
        ODPublicCall call;
        EXPECT_TRUE(call.entered);
        EXPECT_EQ(eODLifecycleState, OD_STATE_RUNNING);
        EXPECT_EQ(nAPILevel, 1u);
    }
    EXPECT_EQ(nAPILevel, 0u);
    EXPECT_EQ(od_control_get(), &od_control);
}

TEST(PublicCallRule, ExitEndsTheProcessWithTheErrorLevel)
{
    EXPECT_EXIT(
        {
            LocalSession();
            od_init();
            od_exit(3, 0);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST(PublicCallRule, ExitBeforeStartUpIsCarriedOutWhenStartUpCompletes)
{
    EXPECT_EXIT(
        {
            LocalSession();
            od_exit(5, 1);
        },
        ::testing::ExitedWithCode(5), "");
}

}  // namespace
