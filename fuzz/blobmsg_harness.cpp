// A request's argument list as the bus handlers see it: parsed against each
// of the daemon's policies, every filled slot read the way the handlers read
// it, and every attribute checked on its own.
#include <libubus.h>

#include <cstdlib>
#include <cstring>

#include "harness.h"

namespace {

const blobmsg_policy kStepPolicy[] = {{"step", BLOBMSG_TYPE_INT32}};
const blobmsg_policy kPositionPolicy[] = {{"pan", BLOBMSG_TYPE_INT32},
                                          {"tilt", BLOBMSG_TYPE_INT32}};
// Every type once, so the parser's checks for each of them are exercised.
const blobmsg_policy kAllTypes[] = {
    {"array", BLOBMSG_TYPE_ARRAY}, {"table", BLOBMSG_TYPE_TABLE},   {"string", BLOBMSG_TYPE_STRING},
    {"int64", BLOBMSG_TYPE_INT64}, {"int32", BLOBMSG_TYPE_INT32},   {"int16", BLOBMSG_TYPE_INT16},
    {"int8", BLOBMSG_TYPE_INT8},   {"double", BLOBMSG_TYPE_DOUBLE}, {"any", BLOBMSG_TYPE_UNSPEC},
};

volatile uint64_t sink;

// Reads a filled slot the way a handler would for the slot's type.
void readSlot(const blobmsg_policy &policy, blob_attr *attr) {
    FUZZ_CHECK(blobmsg_type(attr) == policy.type || policy.type == BLOBMSG_TYPE_UNSPEC);
    FUZZ_CHECK(blobmsg_check_attr(attr, true));
    switch (policy.type) {
        case BLOBMSG_TYPE_INT32:
            sink += static_cast<int32_t>(blobmsg_get_u32(attr));
            break;
        case BLOBMSG_TYPE_INT64:
            sink += blobmsg_get_u64(attr);
            break;
        case BLOBMSG_TYPE_INT16:
            sink += blobmsg_get_u16(attr);
            break;
        case BLOBMSG_TYPE_INT8:
            sink += blobmsg_get_u8(attr);
            break;
        case BLOBMSG_TYPE_DOUBLE:
            sink += static_cast<uint64_t>(blobmsg_get_double(attr) != 0.0);
            break;
        case BLOBMSG_TYPE_STRING:
            sink += std::strlen(blobmsg_get_string(attr));
            break;
        default: {
            // Members of a container are not validated with it: a generic reader
            // checks the container first, then walks it.
            if (blobmsg_check_array(attr, BLOBMSG_TYPE_UNSPEC) < 0) break;
            blob_attr *cur;
            size_t rem;
            blobmsg_for_each_attr(cur, attr, rem) {
                FUZZ_CHECK(blobmsg_check_attr(cur, blobmsg_type(attr) == BLOBMSG_TYPE_TABLE));
                sink += blobmsg_type(cur);
                sink += blobmsg_data_len(cur);
            }
            break;
        }
    }
}

template <size_t N>
void parseWith(const blobmsg_policy (&policy)[N], void *data, unsigned len) {
    blob_attr *slots[N];
    std::memset(slots, 0xA5, sizeof slots);  // the parser must clear every slot
    blobmsg_parse(policy, static_cast<int>(N), slots, data, len);
    for (size_t i = 0; i < N; ++i)
        if (slots[i] != nullptr) readSlot(policy[i], slots[i]);
}

}  // namespace

int fuzz_blobmsg_policy(const uint8_t *data, size_t size) {
    // An exact-size heap copy, 4-byte aligned like a received payload.
    void *payload = std::malloc(size ? size : 1);
    if (size) std::memcpy(payload, data, size);
    unsigned len = static_cast<unsigned>(size);

    parseWith(kStepPolicy, payload, len);
    parseWith(kPositionPolicy, payload, len);
    parseWith(kAllTypes, payload, len);

    // Each attribute of the list on its own, as the library validates them.
    size_t offset = 0;
    while (offset + sizeof(blob_attr) <= size) {
        blob_attr *attr = reinterpret_cast<blob_attr *>(static_cast<char *>(payload) + offset);
        size_t raw = blob_raw_len(attr);
        if (raw < sizeof(blob_attr) || raw > size - offset) break;
        sink += blobmsg_check_attr(attr, true);
        sink += blobmsg_check_attr(attr, false);
        offset += blob_pad_len(attr);
    }
    std::free(payload);
    return 0;
}
