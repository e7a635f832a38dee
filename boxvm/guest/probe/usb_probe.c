/* usb-probe: what libusb 0.1 calls give on the guest's real USB stack, for
 * comparing the kernel with the light set's emulations.
 *
 *   usb-probe SECONDS        every 100 ms a colour message to 0x02 and a
 *                            read of 0x81 (200 ms time-out); prints each
 *                            change of their results, and after a -ENODEV
 *                            reopens the set once it is back
 *   usb-probe 0 read|write   one read (or write) with an 8 s time-out, to
 *                            be cut short by an unplug; then a write, a
 *                            read and a release on the same handle
 *
 * Every line starts with the seconds since the start. Exit status 1 when
 * no light set is found at the start. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#include <usb.h>

#define TIMEOUT_MS 200
#define LONG_TIMEOUT_MS 8000

static double start_time;

static double seconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9 - start_time;
}

static const char *error_text(int result)
{
    return result < 0 ? usb_strerror() : "";
}

/* The first amBX set on the buses after a rescan, or NULL. */
static struct usb_device *find_set(void)
{
    usb_find_busses();
    usb_find_devices();
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
            if (dev->descriptor.idVendor == 0x0471 && dev->descriptor.idProduct == 0x083F)
                return dev;
    return NULL;
}

/* Opens, configures and claims the set as the driver does; NULL if none. */
static usb_dev_handle *open_set(void)
{
    struct usb_device *dev = find_set();
    usb_dev_handle *handle = dev ? usb_open(dev) : NULL;
    if (!handle)
        return NULL;
    int config = usb_set_configuration(handle, 1);
    int claim = usb_claim_interface(handle, 0);
    int alt = usb_set_altinterface(handle, 0);
    printf("%7.3f opened %s/%s: configuration %d, claim %d, alternate setting %d\n", seconds(),
           dev->bus->dirname, dev->filename, config, claim, alt);
    return handle;
}

/* One transfer with a long time-out, then what the handle gives after it. */
static int probe_once(usb_dev_handle *handle, int read)
{
    char buffer[64] = {0x11, 0x0B, 0x03, 1, 2, 3};
    double before = seconds();
    int result = read ? usb_interrupt_read(handle, 0x81, buffer, 64, LONG_TIMEOUT_MS)
                      : usb_interrupt_write(handle, 0x02, buffer, 6, LONG_TIMEOUT_MS);
    printf("%7.3f long %s: %d after %.0f ms %s\n", seconds(), read ? "read" : "write", result,
           (seconds() - before) * 1000, error_text(result));
    result = usb_interrupt_write(handle, 0x02, buffer, 6, TIMEOUT_MS);
    printf("%7.3f then write: %d %s\n", seconds(), result, error_text(result));
    result = usb_interrupt_read(handle, 0x81, buffer, 64, TIMEOUT_MS);
    printf("%7.3f then read: %d %s\n", seconds(), result, error_text(result));
    result = usb_release_interface(handle, 0);
    printf("%7.3f then release: %d, close: %d\n", seconds(), result, usb_close(handle));
    return 0;
}

/* One write and one read; prints their results when they changed. Returns
 * whether both found the device gone. */
static int probe_step(usb_dev_handle *handle, int *last_write, int *last_read)
{
    char buffer[64] = {0x11, 0x0B, 0x03, 1, 2, 3};
    double before = seconds();
    int written = usb_interrupt_write(handle, 0x02, buffer, 6, TIMEOUT_MS);
    double between = seconds();
    int read = usb_interrupt_read(handle, 0x81, buffer, 64, TIMEOUT_MS);
    if (written != *last_write || read != *last_read)
        printf("%7.3f write %d (%.0f ms) %s; read %d (%.0f ms) %s\n", before, written,
               (between - before) * 1000, error_text(written), read, (seconds() - between) * 1000,
               error_text(read));
    *last_write = written;
    *last_read = read;
    return written == -ENODEV && read == -ENODEV;
}

static void probe_for(usb_dev_handle *handle, double duration)
{
    int last_write = 1, last_read = 1;
    while (seconds() < duration) {
        if (!handle && (handle = open_set()) != NULL)
            last_write = last_read = 1;
        if (handle && probe_step(handle, &last_write, &last_read)) {
            printf("%7.3f gone; a rescan finds it: %s\n", seconds(), find_set() ? "yes" : "no");
            usb_close(handle);
            handle = NULL;
        }
        fflush(stdout);
        usleep(100 * 1000);
    }
    if (handle)
        usb_close(handle);
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: usb-probe SECONDS | usb-probe 0 read|write\n");
        return 2;
    }
    start_time = seconds();
    usb_init();
    usb_dev_handle *handle = open_set();
    if (!handle) {
        printf("no light set\n");
        return 1;
    }
    if (argc == 3)
        return probe_once(handle, argv[2][0] == 'r');
    probe_for(handle, atof(argv[1]));
    return 0;
}
