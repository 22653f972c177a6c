/* A plain C program linked through an import library of QuarnInterface.dll,
 * as a MinGW or MSVC user links it. It calls each of the eight functions once
 * through the import table and checks one hand-worked result of each; the
 * exit status is the number of failed checks. */
#include "QuarnInterface.h"

#include <stdio.h>
#include <string.h>

static int failures;

/* The exit status carries the verdict; the message only tells a reader which
 * check failed, so a failed write of it changes nothing. */
static void check(int ok, const char *what) {
    if (!ok) {
        (void)fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    static const uint8_t request_expected[QUARN_UPLOAD_REQUEST_SIZE] = {0xFA, 0xE5, 0x02, 0x00,
                                                                        0x12, 0x34, 0x5F};
    static const uint8_t stop_expected[QUARN_UPLOAD_STOP_SIZE] = {0xFA, 0xE4, 0x00, 0x00, 0x5F};
    uint8_t request[QUARN_UPLOAD_REQUEST_SIZE];
    uint8_t stop[QUARN_UPLOAD_STOP_SIZE];
    request_upload_port_data(request, 0x12, 0x34);
    stop_upload_port_data(stop);
    check(memcmp(request, request_expected, sizeof request) == 0, "request_upload_port_data");
    check(memcmp(stop, stop_expected, sizeof stop) == 0, "stop_upload_port_data");

    /* Type-0 data frame: channel k holds 0x0100 * k + 0x10 + k. */
    uint8_t frame[QUARN_FRAME_OVERHEAD + QUARN_TYPE0_PAYLOAD_SIZE] = {
        QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, QUARN_TYPE0_PAYLOAD_SIZE, 0x00,
        QUARN_PAYLOAD_TYPE_CHANNELS};
    const int values = QUARN_FRAME_HEADER_SIZE + QUARN_PAYLOAD_VALUES_OFFSET;
    for (int k = 0; k < QUARN_CHANNEL_COUNT; ++k) {
        frame[values + QUARN_VALUE_SIZE * k] = (uint8_t)(0x10 + k);
        frame[values + QUARN_VALUE_SIZE * k + 1] = (uint8_t)k;
    }
    frame[sizeof frame - 1] = 0x5F;
    uint16_t channels[QUARN_CHANNEL_COUNT] = {0};
    check(parse_port_data(frame, (uint8_t)sizeof frame, channels, NULL) == 1 &&
              channels[0] == 0x0010 && channels[11] == 0x0B1B,
          "parse_port_data");

    uint8_t game[QUARN_HID_GAME_CONTROLLER_REPORT_SIZE] = {0};
    game[6] = 0x21;
    game[7] = 0x43;
    game[8] = 0x65;
    controller_state state;
    check(parse_hid_game_controller_device(&state, game, (uint8_t)sizeof game) == 1 &&
              state.values[3] == 0x321 && state.values[4] == 0x654,
          "parse_hid_game_controller_device");

    uint8_t compatible[QUARN_HID_COMPATIBLE_REPORT_SIZE] = {0xFA};
    compatible[4] = 0x34;
    compatible[5] = 0x12;
    check(parse_hid_compatible_device(channels, compatible, (uint8_t)sizeof compatible) == 1 &&
              channels[0] == 0x1234,
          "parse_hid_compatible_device");

    uint16_t std_values[QUARN_SBUS_CHANNEL_COUNT] = {600, 1200};
    uint16_t sbus[QUARN_SBUS_CHANNEL_COUNT];
    convert_std_sbus_data(sbus, std_values);
    check(sbus[0] == 1023 && sbus[1] == QUARN_SBUS_CHANNEL_MAX && sbus[2] == 0,
          "convert_std_sbus_data");

    /* Channel 0 at 2047 fills frame bits 8 to 18: byte 1 is 0xFF, byte 2 0x07. */
    uint16_t set[QUARN_SBUS_CHANNEL_COUNT] = {QUARN_SBUS_CHANNEL_MAX};
    uint8_t v1[QUARN_SBUS_FRAME_SIZE];
    uint8_t v2[QUARN_SBUS_FRAME_SIZE];
    memset(v1, 0xCC, sizeof v1);
    encode_sbus_data_v1(v1, set);
    check(v1[0] == 0xCC && v1[1] == 0xFF && v1[2] == 0x07 && v1[3] == 0 &&
              v1[QUARN_SBUS_END_BYTE] == 0,
          "encode_sbus_data_v1");
    /* This process has just loaded the DLL: the end bytes start the cycle. */
    encode_sbus_data_v2(v2, set);
    check(v2[1] == 0xFF && v2[2] == 0x07 && v2[QUARN_SBUS_END_BYTE] == 0x04,
          "encode_sbus_data_v2 first call");
    encode_sbus_data_v2(v2, set);
    check(v2[QUARN_SBUS_END_BYTE] == 0x14, "encode_sbus_data_v2 second call");

    if (failures == 0) {
        puts("all eight functions work through the import library");
    }
    return failures;
}
