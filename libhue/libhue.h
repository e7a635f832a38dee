// What huecast and huecheck share: the light set they drive, and being
// stopped from outside.
#pragma once

// Lights of the amBX light set, numbered 0 .. LIGHT_COUNT - 1.
constexpr int LIGHT_COUNT = 5;

// The driver's device index of the light set the programs drive: the first
// one found.
constexpr int DEVICE = 0;

// Sets every light of device to 0x000000, in light order, whatever the
// writes return. Returns 0 when every write went out, else the first failed
// write's result (negative).
int lights_off(int device);

// --- stop signals -------------------------------------------------------
// Being stopped from outside (SIGTERM, SIGINT, SIGHUP): the handlers only
// note the signal; the program notices it between its steps, switches the
// lights off, closes the light set and ends as killed by that signal, so
// that its exit status and the init system see the signal.

// Installs the handlers, without SA_RESTART: a blocked read or a sleep then
// returns early (EINTR) instead of delaying the stop.
void stop_signals_install();

// The stop signal that arrived, 0 while none did.
int stop_signal();

// Sleeps ms milliseconds, returning early when a stop signal arrives (also
// one that arrived just before the call). Returns true when the whole time
// passed without a stop signal.
bool stop_sleep(int ms);

// Sets the five lights of device to 0x000000 and closes it, then prints
// "Stopped by signal N: lights off.", or, when a switch-off write failed
// (a lost light set), "Stopped by signal N: the lights could not be switched
// off (error E)." with the first failed write's result, and ends the
// process by the stop signal's default action. Never returns.
[[noreturn]] void stop_now(int device);
