#pragma once

#include "installation/packagedifference.h"

#include <cstdint>
#include <limits>

namespace korvane::launcher {

// Per-tick statistics of one byte counter: the increases seen in a window of at most 51 ticks.
struct TProgressStatistics
{
    // Samples in the current window; 0 means no rate yet.
    std::uint64_t sampleCount = 0;
    TFileSize minimum = std::numeric_limits<TFileSize>::max();
    TFileSize maximum = 0;
    // Mean increase per tick (bytes per 100 ms); meaningless while sampleCount is 0.
    double average = 0.0;

    // Adds one tick's increase. Past 50 samples the window restarts with one sample carrying its mean,
    // so the rate follows the last five seconds rather than the whole run.
    void addSample(TFileSize increase);
};

} // namespace korvane::launcher
