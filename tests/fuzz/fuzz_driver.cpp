// Fuzz target: the driver's handling of what a light set answers (the start
// handshake, the component count, the information blocks) and of a USB
// stack that fails anywhere, over the fake libusb of fake_usb.h.
//
// The script (fake_usb.h) lays out the bus; ambx_init registers the light
// sets, then up to two of them are opened, enumerated (each callback's
// answer is the script's next byte), sent a light, a sequence and a raw
// request (sizes from the script), and closed.
#include <cstdint>
#include <cstdio>

#include "driver/ambx_internal.h"
#include "tests/fuzz/fake_usb.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct walk {
    fuzz_input *script;
    int next_index;
};

// The address byte names components 0..15 only.
constexpr int LAST_COMPONENT = 15;

// Components come in order, each one a request can name, with a kind and
// position of the driver's own.
int on_component(const component_info *info, void *user_data)
{
    walk &w = *static_cast<walk *>(user_data);
    fuzz_check(info->index >= w.next_index, "component indices out of order");
    fuzz_check(info->index <= LAST_COMPONENT, "component beyond 15");
    fuzz_check(info->kind >= COMPONENT_LIGHT && info->kind <= COMPONENT_RUMBLER, "component kind");
    fuzz_check(info->position >= POSITION_LEFT && info->position <= POSITION_RIGHT,
               "component position");
    w.next_index = info->index + 1;
    return w.script->byte(0xFF);
}

// What the opened device is sent after enumeration.
void send_commands(int device, fuzz_input &script)
{
    ambx_set_light(device, script.byte(), 0x123456);
    int colours[AMBX_MAX_SEQUENCE + 1] = {};
    const int count = script.byte() % (AMBX_MAX_SEQUENCE + 2);
    const int sent = ambx_set_light_sequence(device, 1, 100, colours, count);
    fuzz_check(count <= AMBX_MAX_SEQUENCE || sent == AMBX_ERR_TOO_LARGE, "sequence too long");
    unsigned char payload[256] = {};
    const int length = script.byte();
    const int requested = ambx_request(device, 0xF, AMBX_CMD_COUNT, payload, length);
    fuzz_check(length <= AMBX_MAX_PAYLOAD || requested == AMBX_ERR_TOO_LARGE, "request too long");
}

// Opens the device, runs everything on it and closes it; the handle's state
// must match what the driver reports.
void exercise(int device, fuzz_input &script)
{
    const int opened = ambx_open(device);
    fuzz_check(opened == 0 || opened == AMBX_ERR_USB_OPEN || opened == AMBX_ERR_CONFIGURE,
               "ambx_open result");
    const int status = ambx_device_status(device);
    if (opened != 0) {
        fuzz_check(status == 0 && fake_usb_open_handles() == 0, "failed open left state");
        return;
    }
    fuzz_check((status & 1) != 0, "open device not reported open");
    fuzz_check(((status & 2) != 0) == (fake_usb_claimed_interfaces() == 1),
               "interface reported held differs from the one claimed");
    fuzz_check(ambx_open(device) == AMBX_ERR_OPEN, "second open");
    walk w = {&script, 0};
    const int walked = ambx_enumerate(device, on_component, &w);
    fuzz_check(walked >= 0, "ambx_enumerate result");
    send_commands(device, script);
    fuzz_check(ambx_close(device) == 0, "ambx_close result");
    fuzz_check(fake_usb_open_handles() == 0 && fake_usb_claimed_interfaces() == 0,
               "close left a handle or interface");
}

}  // namespace

// Catches overruns of the reply, block and message buffers, handles or
// interfaces misused or left behind, and results outside the documented ones.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input script = {data, size};
    fake_usb_load(script);
    fuzz_check(ambx_init() >= 0, "ambx_init result");
    fuzz_check(ambx_device_count() == fake_usb_light_sets(), "light sets registered");
    for (int device = 0; device < ambx_device_count() && device < 2; ++device)
        exercise(device, script);
    return 0;
}
