#pragma once
// The one place that reads the time. Ages, quiet times and hold-offs are measured on the monotonic
// clock in milliseconds: an NTP step of the wall clock after start (the unit does not wait for
// time-sync) would otherwise make every quiet time negative or huge, so that full tables evict
// nothing and sweeps remove nothing or everything. Wall time is only for the text of log lines.
// Tests move either clock instead of sleeping.
#include <chrono>
#include <cstdint>

namespace Clock {
// Milliseconds on CLOCK_MONOTONIC (where a test froze it), plus whatever tests have added with Advance.
int64_t Now();
// Seconds since 1970 for log text, plus whatever tests have added with StepWall.
int64_t Wall();
// Test hooks: move the monotonic clock forward (or back), stop it where it is (from then on only
// Advance moves it: events a test makes one after the other share a millisecond however slowly they
// run), step the wall clock, undo all three.
void Advance(std::chrono::milliseconds by);
void Freeze();
void StepWall(std::chrono::seconds by);
void Reset();
}  // namespace Clock
