// The relay's cycle over a series of boot-message records: the input is cut
// into records of up to 96 bytes (short ones stand for short reads); a
// record starting with 0xFF stands for a cycle whose read failed.
#include <cstdlib>
#include <cstring>

#include "harness.h"
#include "relay.h"

int fuzz_relay_record(const uint8_t *data, size_t size) {
    relay_state st;
    relay_init(&st);
    size_t offset = 0;
    int cycles = 0;
    do {
        size_t take = size - offset;
        if (take > RELAY_RECORD_SIZE) take = RELAY_RECORD_SIZE;
        // Its own heap copy, so reading one byte too many is caught.
        unsigned char *record = static_cast<unsigned char *>(std::malloc(take ? take : 1));
        if (take) std::memcpy(record, data + offset, take);
        bool failed = take > 0 && record[0] == 0xFF;
        int before = st.count;

        char msg[RELAY_MESSAGE_MAX];
        std::memset(msg, 'x', sizeof msg);
        size_t n = relay_cycle(&st, failed ? nullptr : record,
                               failed ? -1 : static_cast<ssize_t>(take), msg, sizeof msg);
        std::free(record);

        // The message is always one terminated "%6.3f" text of 7 bytes.
        FUZZ_CHECK(n == 7);
        FUZZ_CHECK(msg[6] == '\0' && std::strlen(msg) == 6);
        FUZZ_CHECK(st.status[RELAY_STATUS_SIZE - 1] == '\0');
        FUZZ_CHECK(st.count >= 1 && st.count <= RELAY_FULL_COUNT);
        // Progress never goes back and 100 % needs the final stage.
        FUZZ_CHECK(st.count >= before || before >= RELAY_FULL_COUNT);
        double shown = std::atof(msg);
        FUZZ_CHECK(shown > 0.0 && shown <= 1.0);
        if (st.count == RELAY_FULL_COUNT) FUZZ_CHECK(std::strcmp(st.status, "upgrade_end") == 0);

        offset += take;
        if (relay_advance(&st)) break;
    } while (offset < size && ++cycles < 1000);
    return 0;
}
