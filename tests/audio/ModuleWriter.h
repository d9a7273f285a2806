#pragma once
// Writes small ProTracker modules for the tests: one held square-wave note on
// the two front channels, a chosen number of short patterns, optionally a jump
// back to the first order.

#include <cstdint>
#include <string>
#include <vector>

namespace sonvale::test {

struct ModuleSpec {
    std::string title;      // at most 20 characters; empty for an untitled module
    int orders = 1;         // patterns in the order list, each played once
    int rows = 16;          // rows of each pattern that play (a break ends it early)
    int speed = 3;          // ticks per row at 125 BPM: 3 ticks is 60 ms a row
    int jumpBackAfter = -1; // order whose last row jumps back to order 0, or -1
    int amplitude = 100;    // of the 8-bit square wave
};

std::vector<uint8_t> WriteModule(const ModuleSpec& spec);

// Seconds that the orders before the end (or before the jump back) last.
double PlayedSeconds(const ModuleSpec& spec);

} // namespace sonvale::test
