// Many nodes recording at once: every line arrives whole, none is lost, the
// outbox ids stay unique and the bulletins match the table.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <set>
#include <string>

#include "../test_scores_fixture.h"
#include "interbbs.h"
#include "result.h"
#include "scores.h"
#include "test_scores_nodes.h"

namespace {

using ResultNodesTest = DoorDirTest;

const int kNodes = 12;
const int kResults = 20;

} // namespace

TEST_F(ResultNodesTest, ManyNodesLoseNoLineAndTearNone)
{
    auto codes = run_nodes(kNodes, [](int node) {
        snprintf(player, sizeof player, "NODE%02d", node);
        snprintf(profile_path, sizeof profile_path, "data/profile-%016x.tsv", node + 1);
        int failures = 0;
        for (int i = 0; i < kResults; i++) {
            score = node * 1000 + i;
            level = i % 8;
            if (save_result(0) != RESULT_SAVED) failures++;
        }
        // And each caller's daily of the day, once.
        if (!daily_reserve() || save_result(1) != RESULT_SAVED) failures++;
        return failures;
    });
    for (int node = 0; node < kNodes; node++) EXPECT_EQ(codes[node], 0) << "node " << node;

    std::set<int> scores;
    auto story = lines("data/story.tsv");
    EXPECT_EQ(story.size(), (size_t)(kNodes * kResults));
    for (const std::string &line : story) {
        score_entry e;
        ASSERT_EQ(score_parse_line(line.c_str(), &e), 1) << line;
        int node = e.score / 1000, i = e.score % 1000;
        char name[16];
        snprintf(name, sizeof name, "NODE%02d", node);
        EXPECT_STREQ(e.name, name);
        EXPECT_EQ(e.stage, i % 8 + 1);
        EXPECT_TRUE(scores.insert(e.score).second) << "twice: " << line;
    }
    EXPECT_EQ(scores.size(), (size_t)(kNodes * kResults));

    std::set<std::string> ids;
    auto outbox = lines("data/interbbs-outbox.tsv");
    EXPECT_EQ(outbox.size(), (size_t)(kNodes * (kResults + 1)));
    for (const std::string &line : outbox) {
        ASSERT_EQ(line.rfind("grimby\t20261006\tNODE", 0), 0u) << line;
        ids.insert(line.substr(line.rfind('\t') + 1));
    }
    EXPECT_EQ(ids.size(), outbox.size());
    EXPECT_EQ(lines("data/daily.tsv").size(), (size_t)kNodes);
    EXPECT_EQ(lines("data/daily-lock.tsv").size(), (size_t)kNodes);

    // The last bulletin written shows the best results of the whole table.
    char top[80];
    snprintf(top, sizeof top, " 1. NODE%02d", kNodes - 1);
    EXPECT_EQ(read("highscores.asc").find(top), std::string("HARVESTFALL - HALL OF HORRORS\n").size());
    EXPECT_FALSE(exists("data/.grimby-write.lock"));
    EXPECT_FALSE(exists("highscores.ans.tmp"));
}
