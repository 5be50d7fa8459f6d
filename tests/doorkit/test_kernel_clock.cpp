// The kernel's clock, timers and sleep, its receive step (reservation,
// keyboard switch, the enter log) and local keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "ODCom.h"
#include "ODInEx.h"
#include "ODInQue.h"
#include "ODKrnl.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "session.h"
#include "testdir.h"

TEST(KernelTimer, ElapsedAndLeftAcrossTheTickWrap)
{
    ODPlatClockUseVirtual(0xFFFFFF00ull, 1700000000);
    tODTimer timer;
    ODTimerStart(&timer, 0x180);
    EXPECT_FALSE(ODTimerElapsed(&timer));
    EXPECT_EQ(ODTimerLeft(&timer), 0x180u);
    ODPlatClockAdvance(0x120);  // the 32-bit tick wraps here
    EXPECT_FALSE(ODTimerElapsed(&timer));
    EXPECT_EQ(ODTimerLeft(&timer), 0x60u);
    ODTimerWaitForElapse(&timer);
    EXPECT_TRUE(ODTimerElapsed(&timer));
    EXPECT_EQ(ODTimerLeft(&timer), 0u);
    EXPECT_EQ(ODPlatTickMs(), 0xFFFFFF00ull + 0x180);
}

TEST(KernelClock, SessionClockCountsFromStartUp)
{
    ODPlatClockUseVirtual(50000, 1700000000);
    od_init();
    ODPlatClockAdvance(61234);
    uint32_t s = 0;
    uint16_t ms = 0;
    ODSessionTimeGet(&s, &ms);
    EXPECT_EQ(s, 61u);
    EXPECT_EQ(ms, 234u);
    ODSessionTimeGet(nullptr, &ms);
    ODSessionTimeGet(&s, nullptr);
    EXPECT_EQ(s, 61u);
}

TEST(KernelClock, SessionClockNeverGoesBackwards)
{
    ODPlatClockUseVirtual(50000, 1700000000);
    ODSessionTimeInitialize();
    ODPlatClockAdvance(5500);
    uint32_t s;
    uint16_t ms;
    ODSessionTimeGet(&s, &ms);
    // A clock switched under the session (here: back to an earlier tick).
    ODPlatClockUseVirtual(50000, 1700000000);
    uint32_t s2;
    uint16_t ms2;
    ODSessionTimeGet(&s2, &ms2);
    EXPECT_EQ(s2, s);
    EXPECT_EQ(ms2, ms);
}

TEST(KernelSleep, SleepsInsideTheApiAndNotAfterExit)
{
    ODPlatClockUseVirtual(1000, 1700000000);
    od_init();
    od_sleep(750);
    EXPECT_EQ(ODPlatTickMs(), 1750u);
    eODLifecycleState = OD_STATE_EXITING;
    od_sleep(750);
    EXPECT_EQ(ODPlatTickMs(), 1750u);
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
}

TEST(KernelPass, RestartsItsTimerAndRunsOnlyOnce)
{
    ODPlatClockUseVirtual(1000, 1700000000);
    od_init();
    ODPlatClockAdvance(300);
    EXPECT_TRUE(ODTimerElapsed(&RunKernelTimer));
    od_kernel();
    EXPECT_FALSE(ODTimerElapsed(&RunKernelTimer));
    EXPECT_EQ(ODTimerLeft(&RunKernelTimer), 250u);
    EXPECT_FALSE(bKernelActive);
}

TEST(KernelReceive, EnterKeysAreLoggedAndBytesWaitForRoom)
{
    TestDir dir;
    char previous[1024];
    ASSERT_EQ(ODDirGetCurrent(previous, sizeof previous), ODPLAT_OK);
    ASSERT_EQ(ODDirChangeCurrent(dir.root().c_str()), ODPLAT_OK);
    od_control.input_queue_size = 4;  // room for 3
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, false));
    ASSERT_TRUE(caller.Send("a\r\nbcdef"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    od_kernel();
    // The queue is full after three; the rest waits, read or not, and is
    // never thrown away.
    std::string keys;
    for (int i = 0; i < 50 && keys.size() < 7; i++) {
        char key = od_get_key(0);
        if (key) keys += key;
        else od_kernel();
    }
    EXPECT_EQ(keys, "a\rbcdef");
    ODDirChangeCurrent(previous);
    std::string log = dir.read("grimby-raw-enter.log");
    log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());  // a text file: CR LF on Windows
    EXPECT_EQ(log, "raw incoming key=13\nraw incoming key=10\n");
}

TEST(KernelLocalKeys, CharacterOrDoorwayCodeMarkedLocal)
{
    od_init();
    ODKrnlHandleLocalKey((uint16_t)((0x1E << 8) | 'a'));
    ODKrnlHandleLocalKey((uint16_t)(OD_KEY_UP << 8));
    ODKrnlHandleLocalKey(0);  // nothing at all: nothing queued
    EXPECT_EQ(od_get_key(0), 'a');
    EXPECT_EQ((int)od_control.last_key_local, 1);
    EXPECT_EQ(od_get_key(0), 0);
    EXPECT_EQ(od_get_key(0), OD_KEY_UP);
    EXPECT_EQ(od_get_key(0), 0);
    EXPECT_FALSE(od_key_pending());
    ODKrnlHandleLocalKey('z');
    EXPECT_TRUE(od_key_pending());
    od_clear_keybuffer();
    EXPECT_FALSE(od_key_pending());
}
