/*
 * quarn-replay-demo: replays a recorded port-data stream through the parser,
 * the way a host feeds what its serial port delivers, and prints every update.
 *
 *   quarn-replay-demo FILE
 *   quarn-replay-demo --help
 *
 * A serial link hands over whatever it has, so the file is read in chunks of
 * changing sizes (1 to 255 bytes) that cut frames at arbitrary points.
 */
#include <QuarnInterface.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#define PROGRAM "quarn-replay-demo"
#define MAX_CHUNK 255

/* Chunk sizes cycled through while reading, from single bytes to the most
 * one call takes. */
static const size_t chunk_sizes[] = {1, 7, 64, MAX_CHUNK, 3, 128, 30, 200, 17, 2, 99};
#define CHUNK_SIZE_COUNT (sizeof chunk_sizes / sizeof chunk_sizes[0])

static const char usage[] =
    "Usage: " PROGRAM " FILE\n"
    "Replays a recorded device byte stream through parse_port_data in chunks of\n"
    "changing sizes (1 to 255 bytes) and prints every update and the final values.\n"
    "\n"
    "Example:\n"
    "  " PROGRAM " examples/data/device-stream.bin\n"
    "\n"
    "Exit codes:\n"
    "  0  the file was replayed\n"
    "  1  the file cannot be opened or read\n"
    "  2  usage error\n";

static void print_values(const char *label, const uint16_t *values, int count) {
    int k;
    printf("%s:", label);
    for (k = 0; k < count; ++k) {
        printf(" %u", (unsigned)values[k]);
    }
    printf("\n");
}

/* Names the file and the reason it could not be used; returns the exit status.
 * Nothing is left to tell anyone when standard error itself fails, so the
 * result of writing there is not checked. */
static int file_error(const char *what, const char *path) {
    (void)fprintf(stderr, "%s: cannot %s '%s': %s\n", PROGRAM, what, path, strerror(errno));
    return 1;
}

int main(int argc, char **argv) {
    uint8_t chunk[MAX_CHUNK];
    uint16_t channels[QUARN_CHANNEL_COUNT] = {0};
    uint16_t ports[QUARN_PORT_COUNT] = {0};
    unsigned long total = 0;
    unsigned long chunks = 0;
    unsigned long updates = 0;
    const char *path;
    FILE *file;
    size_t got;

    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        if (fputs(usage, stdout) < 0 || fflush(stdout) != 0) {
            return file_error("write", "standard output");
        }
        return 0;
    }
    if (argc != 2) {
        (void)fputs(usage, stderr);
        return 2;
    }
    path = argv[1];
    file = fopen(path, "rb");
    if (file == NULL) {
        return file_error("open", path);
    }

    while ((got = fread(chunk, 1, chunk_sizes[chunks % CHUNK_SIZE_COUNT], file)) > 0) {
        total += got;
        ++chunks;
        if (parse_port_data(chunk, (uint8_t)got, channels, ports)) {
            ++updates;
            printf("update %lu at byte %lu\n", updates, total);
            print_values("  channels", channels, QUARN_CHANNEL_COUNT);
            print_values("  ports", ports, QUARN_PORT_COUNT);
        }
    }
    /* The file was only read: closing it cannot lose anything. */
    if (ferror(file)) {
        const int status = file_error("read", path);
        (void)fclose(file);
        return status;
    }
    (void)fclose(file);

    printf("%s: %lu bytes in %lu chunks, %lu updates\n", path, total, chunks, updates);
    print_values("final channels", channels, QUARN_CHANNEL_COUNT);
    print_values("final ports", ports, QUARN_PORT_COUNT);
    /* Output that did not arrive (a full disk, a closed pipe) is a failure. */
    if (fflush(stdout) != 0 || ferror(stdout)) {
        return file_error("write", "standard output");
    }
    return 0;
}
