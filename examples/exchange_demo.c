/*
 * quarn-exchange-demo: the whole exchange with the device, as README.md and
 * docs/protocol.md show it, with a recording in place of the serial port.
 *
 *   quarn-exchange-demo RECORDING
 *
 * serial_read() hands over the recording in the pieces a port would, and
 * serial_write() prints what would go to the device. The program ends with
 * the values of the last data frames, as the recording's
 * device-stream.expected holds them.
 */
#include <QuarnInterface.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#define PROGRAM "quarn-exchange-demo"
/* parse_port_data takes at most 255 bytes a call: its length is 8 bits. */
#define MAX_CHUNK 255

static FILE *port;            /* the serial port; here, the recording */
static unsigned long updates; /* data frames decoded, by the calls that decoded any */
static uint16_t last_channels[QUARN_CHANNEL_COUNT];
static uint16_t last_ports[QUARN_PORT_COUNT];

/* A write to the serial port; here the bytes are shown instead. */
static void serial_write(const uint8_t *bytes, size_t count) {
    size_t k;
    printf("to the device:");
    for (k = 0; k < count; ++k) {
        printf(" %02X", (unsigned)bytes[k]);
    }
    printf("\n");
}

/* A read from the serial port: up to `size` bytes, 0 once the link has ended
 * (here, at the end of the recording). */
static size_t serial_read(uint8_t *buffer, size_t size) {
    return fread(buffer, 1, size, port);
}

/* What a host does with new values: show them, forward them. This one keeps
 * the last. */
static void use(const uint16_t *channels, const uint16_t *ports) {
    ++updates;
    memcpy(last_channels, channels, sizeof last_channels);
    memcpy(last_ports, ports, sizeof last_ports);
}

static void exchange(void) {
    uint8_t request[QUARN_UPLOAD_REQUEST_SIZE];
    uint8_t stop[QUARN_UPLOAD_STOP_SIZE];
    uint8_t chunk[MAX_CHUNK];
    uint16_t channels[QUARN_CHANNEL_COUNT] = {0}; /* a frame may fill only one of the two */
    uint16_t ports[QUARN_PORT_COUNT] = {0};
    size_t n;

    quarn_start_new_stream();                /* 1. nothing of an earlier connection stays */
    request_upload_port_data(request, 0, 0); /* 2. ask the device to stream */
    serial_write(request, sizeof request);
    while ((n = serial_read(chunk, sizeof chunk)) > 0) { /* 3. feed whatever arrives */
        if (parse_port_data(chunk, (uint8_t)n, channels, ports)) {
            use(channels, ports); /* 4. a data frame was decoded */
        }
    }
    stop_upload_port_data(stop); /* 5. end the stream */
    serial_write(stop, sizeof stop);
}

static void print_values(const char *label, const uint16_t *values, size_t count) {
    size_t k;
    printf("%s:", label);
    for (k = 0; k < count; ++k) {
        printf(" %u", (unsigned)values[k]);
    }
    printf("\n");
}

int main(int argc, char **argv) {
    int failed;

    if (argc != 2 || argv[1][0] == '-') {
        (void)fprintf(stderr, "Usage: %s RECORDING\n", PROGRAM);
        return 2;
    }
    port = fopen(argv[1], "rb");
    if (port == NULL) {
        (void)fprintf(stderr, "%s: cannot open '%s': %s\n", PROGRAM, argv[1], strerror(errno));
        return 1;
    }
    exchange();
    failed = ferror(port);
    (void)fclose(port);
    if (failed) {
        (void)fprintf(stderr, "%s: cannot read '%s'\n", PROGRAM, argv[1]);
        return 1;
    }
    printf("%lu updates\n", updates);
    print_values("final channels", last_channels, QUARN_CHANNEL_COUNT);
    print_values("final ports", last_ports, QUARN_PORT_COUNT);
    /* Output that did not arrive (a full disk, a closed pipe) is a failure. */
    if (fflush(stdout) != 0 || ferror(stdout)) {
        (void)fprintf(stderr, "%s: cannot write standard output\n", PROGRAM);
        return 1;
    }
    return 0;
}
