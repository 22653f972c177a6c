/*
 * Writes layout.js: the public header's layout constants as an ES module, so
 * the npm package's buffers and the page's frame encoder and report dispatch
 * use the header's numbers rather than copies of them.
 *
 *   quarn-web-layout OUTPUT.js
 */
#include <QuarnInterface.h>

#include <stdio.h>

struct constant {
    const char *name;
    long value;
};

#define CONSTANT(name)                                                                             \
    { #name, (long)(name) }

static const struct constant constants[] = {
    CONSTANT(QUARN_FRAME_HEAD),
    CONSTANT(QUARN_FRAME_TAIL),
    CONSTANT(QUARN_CMD_UPLOAD_REQUEST),
    CONSTANT(QUARN_CMD_UPLOAD_STOP),
    CONSTANT(QUARN_CMD_PORT_DATA),
    CONSTANT(QUARN_FRAME_HEADER_SIZE),
    CONSTANT(QUARN_FRAME_OVERHEAD),
    CONSTANT(QUARN_CHANNEL_COUNT),
    CONSTANT(QUARN_PORT_COUNT),
    CONSTANT(QUARN_PORT_GROUP_SIZE),
    CONSTANT(QUARN_PAYLOAD_TYPE_CHANNELS),
    CONSTANT(QUARN_PAYLOAD_TYPE_PORTS),
    CONSTANT(QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS),
    CONSTANT(QUARN_VALUE_SIZE),
    CONSTANT(QUARN_PAYLOAD_VALUES_OFFSET),
    CONSTANT(QUARN_TYPE0_PAYLOAD_SIZE),
    CONSTANT(QUARN_TYPE1_PAYLOAD_SIZE),
    CONSTANT(QUARN_TYPE2_PORTS_OFFSET),
    CONSTANT(QUARN_TYPE2_PAYLOAD_SIZE),
    CONSTANT(QUARN_UPLOAD_REQUEST_SIZE),
    CONSTANT(QUARN_UPLOAD_STOP_SIZE),
    CONSTANT(QUARN_HID_GAME_CONTROLLER_REPORT_SIZE),
    CONSTANT(QUARN_CONTROLLER_VALUE_COUNT),
    CONSTANT(QUARN_HID_COMPATIBLE_REPORT_SIZE),
    CONSTANT(QUARN_SBUS_CHANNEL_COUNT),
    CONSTANT(QUARN_SBUS_CHANNEL_MAX),
    CONSTANT(QUARN_SBUS_START_BYTE),
    CONSTANT(QUARN_SBUS_FRAME_SIZE),
};

int main(int argc, char **argv) {
    if (argc != 2) {
        (void)fputs("usage: quarn-web-layout OUTPUT.js\n", stderr);
        return 2;
    }
    FILE *out = fopen(argv[1], "w");
    if (out == NULL) {
        perror(argv[1]);
        return 1;
    }
    int failed = fputs("// Generated from include/QuarnInterface.h by web/layout_js.c.\n", out) < 0;
    for (size_t k = 0; k < sizeof constants / sizeof constants[0]; ++k) {
        failed |=
            fprintf(out, "export const %s = %ld;\n", constants[k].name, constants[k].value) < 0;
    }
    failed |= fclose(out) != 0;
    if (failed) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
