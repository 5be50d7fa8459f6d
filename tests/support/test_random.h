// test_random.h -- the game's random generator written out on its own, so
// tests can predict its draws; also a cheap, repeatable source of noise.
#ifndef TEST_RANDOM_H
#define TEST_RANDOM_H

#include <stdint.h>

// One step: state * 1664525 + 1013904223 (mod 2^32).
inline uint32_t TestLcgStep(uint32_t state)
{
    return state * 1664525u + 1013904223u;
}

// Draws as the game draws them: a step, then state >> 1.
struct TestLcg {
    uint32_t state;
    uint32_t next()
    {
        state = TestLcgStep(state);
        return state >> 1;
    }
};

// The draw the game would make `ahead` draws from state.
inline uint32_t TestLcgPeek(uint32_t state, int ahead = 1)
{
    for (int i = 0; i < ahead; i++) state = TestLcgStep(state);
    return state >> 1;
}

#endif
