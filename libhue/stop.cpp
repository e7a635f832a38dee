// Stop signals: noted in a flag by the handler, acted on by the program;
// switching the lights off.
#include "libhue/libhue.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>

#include "driver/ambx.h"

namespace {

constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t stop_requested = 0;

void note_stop(int signal)
{
    stop_requested = signal;
}

sigset_t stop_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : stop_signals)
        sigaddset(&set, signal);
    return set;
}

}  // namespace

int lights_off(int device)
{
    int failure = 0;  // the first failed switch-off's result
    for (int light = 0; light < LIGHT_COUNT; light++) {
        const int result = ambx_set_light(device, light, 0x000000);
        if (result < 0 && failure == 0)
            failure = result;
    }
    return failure;
}

void stop_signals_install()
{
    struct sigaction action = {};
    action.sa_handler = note_stop;
    action.sa_mask = stop_set();
    action.sa_flags = 0;  // no SA_RESTART
    for (int signal : stop_signals)
        sigaction(signal, &action, nullptr);
}

int stop_signal()
{
    return stop_requested;
}

// The stop signals stay blocked from the check until ppoll waits with them
// unblocked, so one arriving in between still cuts the wait short.
bool stop_sleep(int ms)
{
    const sigset_t set = stop_set();
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &set, &waiting);
    const timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    if (!stop_requested)
        ppoll(nullptr, 0, &pause, &waiting);
    sigprocmask(SIG_SETMASK, &waiting, nullptr);
    return !stop_requested;
}

void stop_now(int device)
{
    const int signal = stop_requested ? stop_requested : SIGTERM;
    const int failure = lights_off(device);
    ambx_close(device);
    if (failure == 0)
        printf("Stopped by signal %d: lights off.\n", signal);
    else
        printf("Stopped by signal %d: the lights could not be switched off (error %d).\n", signal,
               failure);
    fflush(stdout);
    std::signal(signal, SIG_DFL);
    const sigset_t set = stop_set();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _Exit(128 + signal);  // not reached: the default action ends the process
}
