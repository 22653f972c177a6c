/* A host built against an installed kit: decodes a recorded device stream and
 * writes the values of its last data frames to a file, in the form of
 * examples/data/device-stream.expected. It writes a file rather than standard
 * output because under Wine a file is the one channel that never drops output.
 *
 *   quarn-stream-consumer STREAM RESULT
 *
 * Exit status 0 only when at least one data frame was decoded and the result
 * was written. */
#include <QuarnInterface.h>

#include <stdio.h>

/* Returns nonzero when a write failed. */
static int write_values(FILE *out, const char *label, const uint16_t *values, int count) {
    int failed = fprintf(out, "%s:", label) < 0;
    int k;
    for (k = 0; k < count; ++k) {
        failed |= fprintf(out, " %u", (unsigned)values[k]) < 0;
    }
    return failed | (fputc('\n', out) == EOF);
}

int main(int argc, char **argv) {
    /* The length argument is 8 bits wide: the most one call takes. */
    uint8_t chunk[UINT8_MAX];
    uint16_t channels[QUARN_CHANNEL_COUNT] = {0};
    uint16_t ports[QUARN_PORT_COUNT] = {0};
    unsigned long updates = 0;
    size_t got;
    FILE *in;
    FILE *out;
    int failed;

    if (argc != 3) {
        (void)fprintf(stderr, "usage: %s STREAM RESULT\n", argv[0]);
        return 2;
    }
    in = fopen(argv[1], "rb");
    if (in == NULL) {
        perror(argv[1]);
        return 1;
    }
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) {
        updates += parse_port_data(chunk, (uint8_t)got, channels, ports);
    }
    /* Only read from: closing cannot lose anything. */
    (void)fclose(in);
    if (updates == 0) {
        (void)fprintf(stderr, "%s: no data frame decoded\n", argv[1]);
        return 1;
    }

    out = fopen(argv[2], "w");
    if (out == NULL) {
        perror(argv[2]);
        return 1;
    }
    failed = write_values(out, "final channels", channels, QUARN_CHANNEL_COUNT);
    failed |= write_values(out, "final ports", ports, QUARN_PORT_COUNT);
    failed |= fclose(out) != 0;
    if (failed) {
        perror(argv[2]);
    }
    return failed ? 1 : 0;
}
