#include "installation/progressstatistics.h"

#include <algorithm>

namespace korvane::launcher {

void TProgressStatistics::addSample(TFileSize increase)
{
    if (sampleCount == 0) {
        minimum = maximum = increase;
        sampleCount = 1;
        average = double(increase);
        return;
    }
    const std::uint64_t n = sampleCount + 1;
    sampleCount = n;
    minimum = std::min(minimum, increase);
    maximum = std::max(maximum, increase);
    average = (average * double(n - 1) + double(increase)) / double(n);
    if (n > 50) {
        const auto mean = static_cast<TFileSize>(average);
        minimum = maximum = mean;
        sampleCount = 1;
        average = double(mean);
    }
}

} // namespace korvane::launcher
