// The frame window's rules that hold on every platform, against the real
// kernel: a burst of the sysop's requests posts one refresh notice, the
// spinner's up arrow adds time, and the About line and check marks follow
// the snapshot.
#include <gtest/gtest.h>

#include <string.h>

#include "ODFrame.h"
#include "ODInEx.h"
#include "ODKrnl.h"
#include "doorkit.h"
#include "session.h"

namespace {

volatile long lDirty = 0;
int nPosts = 0;
int bPostWorks = 1;

int CountPost(void *)
{
    nPosts++;
    return bPostWorks;
}

void Notice()
{
    ODFrameNoticeChanged(&lDirty, CountPost, nullptr);
}

}  // namespace

TEST(FrameNotices, TenChangesInABurstPostOneRefreshAndTheNextBurstAnother)
{
    TestCaller caller;
    od_control.silent_mode = 1;
    od_control.caller_time_left = 60;
    ASSERT_TRUE(TestStartSocketSession(&caller, false));
    ODKrnlSetStateChangedHook(Notice);

    for (int i = 0; i < 5; i++) ODKrnlRequestKeyboardToggle();
    for (int i = 0; i < 5; i++) ODKrnlRequestTimeAdjustment(ODFrameSpinnerMinutes(+1));
    EXPECT_EQ(nPosts, 1);

    // The frame takes the notice, then reads the snapshot: everything the
    // burst did is in it.
    ODFrameNoticeTaken(&lDirty);
    tODKrnlUIState state;
    ASSERT_TRUE(ODKrnlGetUIState(&state));
    EXPECT_EQ(state.nTimeLeft, 65);  // the up arrow added time
    EXPECT_FALSE(state.bKeyboardOn);  // five toggles: off

    ODKrnlRequestSysopNextToggle();
    ODKrnlRequestSysopNextToggle();
    EXPECT_EQ(nPosts, 2);

    // A notice that could not be posted is not left pending.
    ODFrameNoticeTaken(&lDirty);
    bPostWorks = 0;
    ODKrnlRequestChatToggle();
    bPostWorks = 1;
    ODKrnlRequestChatToggle();
    EXPECT_EQ(nPosts, 4);
    ODKrnlSetStateChangedHook(nullptr);
}

TEST(FrameRules, AboutLineChecksAndCaptionFollowTheSnapshot)
{
    tODKrnlUIState state;
    memset(&state, 0, sizeof state);
    EXPECT_STREQ(ODFrameAboutTitle(&state), "BBS Door Program");
    strcpy(state.szProgramName, "DoorKit");
    EXPECT_STREQ(ODFrameAboutTitle(&state), "BBS Door Program");
    strcpy(state.szProgramName, "GRIMBY");
    EXPECT_STREQ(ODFrameAboutTitle(&state), "GRIMBY");

    state.bKeyboardOn = 1;
    state.bInactivityOff = 1;
    tODFrameChecks checks;
    ODFrameGetChecks(&state, &checks);
    EXPECT_FALSE(checks.bKeyboardOff);
    EXPECT_FALSE(checks.bInactivityOn);

    char caption[96];
    state.bWantsChat = 1;
    EXPECT_TRUE(ODFrameCaption(&state, caption, sizeof caption));
    EXPECT_STREQ(caption, "GRIMBY - User Wants Chat");
    state.bChatActive = 1;  // the wish is answered: no more flashing
    EXPECT_FALSE(ODFrameCaption(&state, caption, sizeof caption));
    EXPECT_STREQ(caption, "GRIMBY");
}
