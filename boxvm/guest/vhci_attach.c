/* vhci-attach HOST PORT: puts the light set served over USB/IP at HOST:PORT
 * on this kernel's USB bus, and again after every unplug, for ever.
 *
 * It connects (retrying), asks to import the device and waits for the
 * server's answer, which comes once the set is plugged in. It then hands the
 * connected socket to vhci-hcd ("PORT SOCKFD DEVID SPEED" written to
 * vhci_hcd.0/attach), whose kernel threads speak the URB protocol on it,
 * waits until the connection ends (an unplug, or a detach in this kernel)
 * and starts over. Started once at boot; prints one line per attach and
 * per unplug. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define VHCI_ATTACH "/sys/devices/platform/vhci_hcd.0/attach"
#define VHCI_PORTS 15 /* high-speed root-hub ports of one controller */
#define RETRY_US 200000

enum {
    USBIP_VERSION = 0x0111,
    OP_REQ_IMPORT = 0x8003,
    OP_REP_IMPORT = 0x0003,
    IMPORT_REQUEST_SIZE = 40,
    IMPORT_REPLY_SIZE = 320,
    REPLY_BUSNUM = 8 + 256 + 32, /* after the header, the path and the bus id */
};

static uint32_t get32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* A socket connected to host:port, or -1. */
static int connect_to(const char *host, int port)
{
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

/* Reads exactly size bytes; 0, or -1 when the connection ends first. */
static int read_all(int fd, unsigned char *buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        got += (size_t)n;
    }
    return 0;
}

/* Asks for the device and waits for the go-ahead. Returns 0 with its devid
 * and speed, or -1 when the server closed the connection or refused. */
static int import_device(int fd, uint32_t *devid, uint32_t *speed)
{
    unsigned char request[IMPORT_REQUEST_SIZE] = {USBIP_VERSION >> 8, USBIP_VERSION & 0xFF,
                                                  OP_REQ_IMPORT >> 8, OP_REQ_IMPORT & 0xFF};
    memcpy(request + 8, "1-1", 3);
    if (write(fd, request, sizeof request) != (ssize_t)sizeof request)
        return -1;
    unsigned char reply[IMPORT_REPLY_SIZE];
    if (read_all(fd, reply, sizeof reply) != 0)
        return -1;
    if ((reply[2] << 8 | reply[3]) != OP_REP_IMPORT || get32(reply + 4) != 0)
        return -1;
    *devid = get32(reply + REPLY_BUSNUM) << 16 | get32(reply + REPLY_BUSNUM + 4);
    *speed = get32(reply + REPLY_BUSNUM + 8);
    return 0;
}

/* Hands fd to vhci-hcd on the first free port. Returns the port, or -1. */
static int attach(int fd, uint32_t devid, uint32_t speed)
{
    int sysfs = open(VHCI_ATTACH, O_WRONLY);
    if (sysfs < 0)
        return -1;
    int port = -1;
    for (int p = 0; p < VHCI_PORTS && port < 0; p++) {
        char line[64];
        int length =
            snprintf(line, sizeof line, "%d %d %u %u", p, fd, (unsigned)devid, (unsigned)speed);
        if (write(sysfs, line, (size_t)length) == length)
            port = p;
    }
    close(sysfs);
    return port;
}

/* Waits until the connection vhci-hcd holds has ended at either side. */
static void wait_for_end(int fd)
{
    struct pollfd watch = {fd, POLLRDHUP, 0};
    while (!(watch.revents & (POLLRDHUP | POLLHUP | POLLERR)))
        if (poll(&watch, 1, -1) < 0 && errno != EINTR)
            return;
}

/* One plug-in: connect, wait for the set, attach it, wait for its unplug. */
static void serve_once(const char *host, int port, int *quiet)
{
    int fd = connect_to(host, port);
    if (fd < 0) {
        if (!*quiet)
            printf("vhci-attach: no server at %s:%d yet, retrying\n", host, port);
        *quiet = 1;
        return;
    }
    *quiet = 0;
    uint32_t devid = 0, speed = 0;
    int vhci_port = -1;
    if (import_device(fd, &devid, &speed) == 0)
        vhci_port = attach(fd, devid, speed);
    if (vhci_port >= 0) {
        printf("vhci-attach: attached on port %d\n", vhci_port);
        fflush(stdout);
        wait_for_end(fd);
        printf("vhci-attach: unplugged from port %d\n", vhci_port);
    }
    close(fd);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: vhci-attach HOST PORT\n");
        return 2;
    }
    int port = atoi(argv[2]);
    int quiet = 0;
    for (;;) {
        serve_once(argv[1], port, &quiet);
        fflush(stdout);
        usleep(RETRY_US);
    }
}
