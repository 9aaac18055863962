// The time and number texts of the status bar and the data information page.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tessaline {

// A span as hours, minutes, seconds and milliseconds, 01:02:03.004; the sign is dropped and the
// hours are not reduced (100:00:00.000).
std::string SpanText(std::chrono::milliseconds span);

// A 90 kHz time stamp as the time it stands for, and the span between two of them. Whole
// milliseconds, cut, not rounded: 900200 is 00:00:10.002.
std::string PtsTimeText(uint64_t pts);
std::string PtsSpanText(uint64_t from, uint64_t to);

// A value rounded to four decimals with as few decimals as it needs: 29.97, 25, 9.8.
std::string NumberText(double value);

}  // namespace tessaline
