#pragma once
// The one place that reads the current time for idle and age limits (table sweeps), so that tests
// can move time forward instead of sleeping for minutes.
#include <cstdint>

namespace Clock {
// Seconds since 1970, plus whatever tests have added with Advance.
int64_t Now();
// Test hook: moves the clock seen by Now forward (or back, with a negative value).
void Advance(int64_t seconds);
// Test hook: undoes every Advance.
void Reset();
}  // namespace Clock
