/* A minimal C host: calls each of the eight functions once through the
 * installed header and library and checks one result of each. */
#include <QuarnInterface.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

/* The exit status carries the verdict; the message only tells a reader which
 * check failed, so a failed write of it changes nothing. */
static void check(int ok, const char *what) {
    if (!ok) {
        (void)fprintf(stderr, "consumer: %s failed\n", what);
        ++failures;
    }
}

int main(void) {
    uint8_t request[QUARN_UPLOAD_REQUEST_SIZE];
    uint8_t stop[QUARN_UPLOAD_STOP_SIZE];
    static const uint8_t expected_stop[QUARN_UPLOAD_STOP_SIZE] = {0xFA, 0xE4, 0x00, 0x00, 0x5F};
    uint8_t data_frame[QUARN_FRAME_OVERHEAD + QUARN_TYPE0_PAYLOAD_SIZE] = {
        QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, QUARN_TYPE0_PAYLOAD_SIZE, 0,
        QUARN_PAYLOAD_TYPE_CHANNELS};
    uint16_t channels[QUARN_CHANNEL_COUNT] = {0};
    uint16_t ports[QUARN_PORT_COUNT] = {0};
    uint8_t game[QUARN_HID_GAME_CONTROLLER_REPORT_SIZE] = {0x34, 0x12};
    uint8_t compatible[QUARN_HID_COMPATIBLE_REPORT_SIZE] = {QUARN_FRAME_HEAD};
    controller_state state;
    uint16_t sbus[QUARN_SBUS_CHANNEL_COUNT] = {600};
    uint8_t frame[QUARN_SBUS_FRAME_SIZE] = {QUARN_SBUS_START_BYTE};
    int k;

    request_upload_port_data(request, 1, 2);
    check(request[4] == 1 && request[5] == 2, "request_upload_port_data");
    stop_upload_port_data(stop);
    check(memcmp(stop, expected_stop, sizeof stop) == 0, "stop_upload_port_data");

    /* channel k = k + 1 */
    for (k = 0; k < QUARN_CHANNEL_COUNT; ++k) {
        data_frame[QUARN_FRAME_HEADER_SIZE + QUARN_PAYLOAD_VALUES_OFFSET + QUARN_VALUE_SIZE * k] =
            (uint8_t)(k + 1);
    }
    data_frame[sizeof data_frame - 1] = QUARN_FRAME_TAIL;
    check(parse_port_data(data_frame, (uint8_t)sizeof data_frame, channels, ports) == 1 &&
              channels[QUARN_CHANNEL_COUNT - 1] == QUARN_CHANNEL_COUNT,
          "parse_port_data");

    check(parse_hid_game_controller_device(&state, game, sizeof game) == 1 &&
              state.values[0] == 0x1234,
          "parse_hid_game_controller_device");
    check(parse_hid_compatible_device(channels, compatible, sizeof compatible) == 1 &&
              channels[0] == 0,
          "parse_hid_compatible_device");

    convert_std_sbus_data(sbus, sbus);
    check(sbus[0] == 1023, "convert_std_sbus_data");
    encode_sbus_data_v1(frame, sbus);
    check(frame[0] == QUARN_SBUS_START_BYTE && frame[1] == 0xFF && frame[2] == 0x03 &&
              frame[QUARN_SBUS_END_BYTE] == 0,
          "encode_sbus_data_v1");
    encode_sbus_data_v2(frame, sbus);
    check(frame[QUARN_SBUS_END_BYTE] == 0x04, "encode_sbus_data_v2");

    if (failures == 0) {
        printf("consumer: QuarnInterface %d.%d.%d works\n", QUARN_INTERFACE_VERSION_MAJOR,
               QUARN_INTERFACE_VERSION_MINOR, QUARN_INTERFACE_VERSION_PATCH);
    }
    return failures == 0 ? 0 : 1;
}
