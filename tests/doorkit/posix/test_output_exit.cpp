// The last words before od_exit reach the caller before the line closes.
#include <gtest/gtest.h>

#include "doorkit.h"

#include "../test_output_caller.h"

namespace {

TEST(OutputExit, TheLastScreenIsSentBeforeTheConnectionCloses)
{
    ::testing::FLAGS_gtest_death_test_style = "fast"; // the child shares the caller's socket
    OutputCaller caller;
    ASSERT_TRUE(caller.Start(ANSI));
    EXPECT_EXIT(
        {
            od_set_color(14, 0);
            od_disp_str("Thanks for playing!\r\n");
            od_exit(7, 0);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_EQ(caller.Peek(), "\x1b[0;1;33;40mThanks for playing!\r\n");
}

} // namespace
