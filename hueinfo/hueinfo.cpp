// hueinfo: shows what the first amBX light set is: its USB configuration and
// the components it reports (kind, position, description).
#include <cstdio>

#include "driver/ambx.h"
#include "libhue/libhue.h"
#include "libhue/printers.h"

namespace {

const char *const kind_words[] = {"light", "fan", "rumbler"};
const char *const position_words[] = {"left", "middle", "right"};

struct component_list {
    int count;
    component_info components[AMBX_MAX_COMPONENTS];  // the most the walk hands over
};

int remember(const component_info *info, void *user_data)
{
    auto *list = static_cast<component_list *>(user_data);
    list->components[list->count++] = *info;
    return 1;
}

void print_summary(const component_list &list)
{
    if (list.count == 0) {
        puts("The light set reported no components.");
        return;
    }
    printf("The light set reports %d component%s:\n", list.count, list.count == 1 ? "" : "s");
    for (int i = 0; i < list.count; i++) {
        const component_info &c = list.components[i];
        printf("  component %d: %s, %s\n", c.index, kind_words[c.kind], position_words[c.position]);
    }
}

}  // namespace

int main()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (ambx_start(DEVICE) < 0)
        return -1;
    puts("USB configuration:");
    print_config_descriptor(&ambx_usb_device(DEVICE)->config[0]);
    static component_list list;
    ambx_enumerate(DEVICE, remember, &list);
    print_summary(list);
    ambx_close(DEVICE);
    return 0;
}
