// The glue-independent half of emu_usb.h: one testbed at a time, and
// running an unchanged program under the emulation (umockdev's preload, or
// the stand-in libusb: emu_glue.h), so that its libusb finds the emulated
// light set.
#include "sim/lightset/emu_glue.h"
#include "sim/lightset/emu_usb.h"

#include <atomic>

namespace {

// Whether a testbed exists in this process: umockdev points the whole
// process at one testbed (UMOCKDEV_DIR), the stand-in at one socket.
std::atomic<bool> testbed_exists{false};

// The options with the glue's environment, which env holds.
process_options with_glue(const process_options &options, std::vector<std::string> &env)
{
    env = emu_glue_environment(options.environment ? *options.environment : process_environment());
    process_options glued = options;
    glued.environment = &env;
    return glued;
}

}  // namespace

emu_testbed *emu_testbed_new()
{
    if (testbed_exists.exchange(true))
        return nullptr;
    emu_testbed *bed = emu_glue_make_testbed();
    if (bed == nullptr)
        testbed_exists = false;
    return bed;
}

void emu_testbed_free(emu_testbed *bed)
{
    if (bed == nullptr)
        return;
    emu_glue_free_testbed(bed);
    testbed_exists = false;
}

std::string emu_take_variable(std::vector<std::string> &env, const char *name)
{
    const std::string prefix = std::string(name) + "=";
    std::string value;
    for (size_t i = env.size(); i-- > 0;) {
        if (env[i].compare(0, prefix.size(), prefix) != 0)
            continue;
        if (value.empty())
            value = env[i].substr(prefix.size());
        env.erase(env.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return value;
}

process_ptr emu_run_start(const std::vector<std::string> &argv, const process_options &options)
{
    std::vector<std::string> env;
    return process_start(argv, with_glue(options, env));
}

process_result emu_run(const std::vector<std::string> &argv, const process_options &options)
{
    std::vector<std::string> env;
    return process_run(argv, with_glue(options, env));
}
