// The input queue: capacity and the full-queue rule, reservations, waits
// on the virtual clock, another thread producing, and the wake handle.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ODCom.h"
#include "ODInQue.h"
#include "ODPlat.h"
#include "session.h"

namespace {

tODInputEvent Key(uint8_t key, uint32_t remote = 1)
{
    tODInputEvent event = {EVENT_CHARACTER, remote, key};
    return event;
}

class Queue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ODInQueueAlloc(&q, 256), ODINQ_OK); }
    void TearDown() override { ODInQueueFree(q); }
    tODInQueueHandle q = nullptr;
};

}  // namespace

TEST_F(Queue, HoldsOneLessThanItsCapacityAndRefusesTheRest)
{
    for (int i = 0; i < 255; i++) {
        tODInputEvent event = Key((uint8_t)i);
        ASSERT_EQ(ODInQueueAddEvent(q, &event), ODINQ_OK) << i;
    }
    tODInputEvent extra = Key('!');
    EXPECT_EQ(ODInQueueAddEvent(q, &extra), ODINQ_NOROOM);
    EXPECT_EQ(ODInQueueReserveEvent(q), ODINQ_NOROOM);
    // The queued keys are intact and in order: only the new one was lost.
    tODInputEvent out;
    for (int i = 0; i < 255; i++) {
        ASSERT_EQ(ODInQueueGetNextEvent(q, &out, 0), ODINQ_OK);
        EXPECT_EQ(out.chKeyPress, (uint8_t)i);
    }
    EXPECT_EQ(ODInQueueGetNextEvent(q, &out, 0), ODINQ_TIMEOUT);
}

TEST_F(Queue, AddingSeveralIsAllOrNothing)
{
    tODInputEvent many[300];
    for (int i = 0; i < 300; i++) many[i] = Key('a');
    EXPECT_EQ(ODInQueueAddEvents(q, many, 300), ODINQ_NOROOM);
    EXPECT_FALSE(ODInQueueWaiting(q));
    EXPECT_EQ(ODInQueueAddEvents(q, many, 254), ODINQ_OK);
    EXPECT_EQ(ODInQueueAddEvents(q, many, 2), ODINQ_NOROOM);
    EXPECT_EQ(ODInQueueAddEvents(q, many, 1), ODINQ_OK);
    EXPECT_EQ(ODInQueueAddEvents(q, many, 0), ODINQ_BADARG);
    EXPECT_EQ(ODInQueueAddEvents(q, nullptr, 1), ODINQ_BADARG);
    ODInQueueEmpty(q);
    EXPECT_FALSE(ODInQueueWaiting(q));
}

TEST_F(Queue, ReservationsHoldRoomUntilCommittedOrCancelled)
{
    tODInputEvent event = Key('r');
    EXPECT_EQ(ODInQueueCommitReservedEvent(q, &event), ODINQ_BADARG);
    for (int i = 0; i < 255; i++) ASSERT_EQ(ODInQueueReserveEvent(q), ODINQ_OK);
    // Every free slot is promised: a local key cannot take one.
    EXPECT_EQ(ODInQueueAddEvent(q, &event), ODINQ_NOROOM);
    ODInQueueCancelReservedEvent(q);
    EXPECT_EQ(ODInQueueAddEvent(q, &event), ODINQ_OK);
    EXPECT_EQ(ODInQueueCommitReservedEvent(q, &event), ODINQ_OK);
    for (int i = 0; i < 253; i++) ODInQueueCancelReservedEvent(q);
    ODInQueueCancelReservedEvent(q);  // never below zero
    EXPECT_EQ(ODInQueueCommitReservedEvent(q, &event), ODINQ_BADARG);
    tODInputEvent out;
    int count = 0;
    while (ODInQueueGetNextEvent(q, &out, 0) == ODINQ_OK) count++;
    EXPECT_EQ(count, 2);
}

TEST_F(Queue, ActivityClockMovesWithEvents)
{
    ODPlatClockUseVirtual(5000, 1800000000);
    ODInQueueResetLastActivity(q);
    EXPECT_EQ(ODInQueueGetLastActivity(q), 1800000000);
    ODPlatClockAdvance(7000);
    tODInputEvent event = Key('a');
    ODInQueueAddEvent(q, &event);
    EXPECT_EQ(ODInQueueGetLastActivity(q), 1800000007);
    ODPlatClockAdvance(3000);
    ASSERT_EQ(ODInQueueReserveEvent(q), ODINQ_OK);
    EXPECT_EQ(ODInQueueGetLastActivity(q), 1800000007);  // a reservation is not activity
    ODInQueueCommitReservedEvent(q, &event);
    EXPECT_EQ(ODInQueueGetLastActivity(q), 1800000010);
}

TEST_F(Queue, TimedWaitOnTheVirtualClock)
{
    ODPlatClockUseVirtual(5000, 1800000000);
    tODInputEvent out;
    EXPECT_EQ(ODInQueueGetNextEvent(q, &out, 400), ODINQ_TIMEOUT);
    EXPECT_EQ(ODPlatTickMs(), 5400u);
}

TEST_F(Queue, AnotherThreadsKeysArriveInOrder)
{
    std::thread producer([&] {
        for (int i = 0; i < 2000; i++) {
            tODInputEvent event = Key((uint8_t)(i % 251), 0);
            while (ODInQueueAddEvent(q, &event) != ODINQ_OK) std::this_thread::yield();
        }
    });
    tODInputEvent out;
    for (int i = 0; i < 2000; i++) {
        ASSERT_EQ(ODInQueueGetNextEvent(q, &out, OD_WAIT_FOREVER), ODINQ_OK);
        ASSERT_EQ(out.chKeyPress, (uint8_t)(i % 251));
        EXPECT_EQ(out.bFromRemote, 0u);
    }
    producer.join();
}

TEST_F(Queue, WakeHandleEndsAWaitWhenAKeyIsQueued)
{
    std::atomic<bool> added{false};
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tODInputEvent event = Key('w', 0);
        ODInQueueAddEvent(q, &event);
        added = true;
    });
    uint64_t start = TestNowMs();
    ODInQueueClearWake(q);
    while (!added && TestNowMs() - start < 20000) ODComWaitInput(nullptr, ODInQueueGetWakeHandle(q), 30000);
    EXPECT_LT(TestNowMs() - start, 20000u);
    producer.join();
    EXPECT_TRUE(ODInQueueWaiting(q));
}

TEST(QueueAlloc, RefusesImpossibleCapacities)
{
    tODInQueueHandle q;
    EXPECT_EQ(ODInQueueAlloc(&q, 1), ODINQ_BADARG);
    EXPECT_EQ(ODInQueueAlloc(nullptr, 16), ODINQ_BADARG);
    ASSERT_EQ(ODInQueueAlloc(&q, 2), ODINQ_OK);
    tODInputEvent event = {EVENT_CHARACTER, 1, 'a'};
    EXPECT_EQ(ODInQueueAddEvent(q, &event), ODINQ_OK);
    EXPECT_EQ(ODInQueueAddEvent(q, &event), ODINQ_NOROOM);
    ODInQueueFree(q);
}
