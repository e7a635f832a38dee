// What huecast does when things go wrong for a while: a dead picture slows
// the capture down, a light set that stops taking its colours counts as
// lost.
#pragma once

// Failing frames in a row after which the capture waits between tries.
constexpr int PACE_FREE_FAILURES = 25;
constexpr int PACE_FIRST_MS = 20;  // the wait after the 25th failing frame
constexpr int PACE_LONGEST_MS = 1000;

// Frames in a row whose five light writes all failed, after which the
// light set counts as lost.
constexpr int LOST_AFTER_FRAMES = 3;

// The wait in milliseconds after the nth failing frame in a row (n >= 1):
// 0 up to the 24th, then 20, 40, 80, ... doubling up to 1000 from the 31st
// on. 0 for n <= 0.
int pace_delay_ms(int failures);

// Judges one frame's light writes (results of ambx_set_light, count of
// them). *dead_frames counts the frames in a row whose writes all failed;
// it is updated here. Returns true when the light set counts as lost: a
// write found the device gone (-ENODEV), or this is the 3rd such frame in a
// row.
bool light_set_lost(const int *results, int count, int *dead_frames);
