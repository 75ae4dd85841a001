// Fuzz harnesses: each takes one input and drives one parser of the system
// the way the running programs do. They return 0; a fault shows up as a
// sanitizer report or an abort from a broken invariant.
//
// The same functions back the libFuzzer targets (fuzz build) and the replay
// programs that run the stored inputs in the normal build.
#ifndef GIMBAL_FUZZ_HARNESS_H
#define GIMBAL_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>

int fuzz_relay_record(const uint8_t *data, size_t size);
int fuzz_blobmsg_policy(const uint8_t *data, size_t size);
int fuzz_ubus_client_rx(const uint8_t *data, size_t size);
int fuzz_ubusd_rx(const uint8_t *data, size_t size);
int fuzz_config_loader(const uint8_t *data, size_t size);
int fuzz_persist_loader(const uint8_t *data, size_t size);
int fuzz_preset_loader(const uint8_t *data, size_t size);
int fuzz_jsonrpc_request(const uint8_t *data, size_t size);
int fuzz_onvif_request(const uint8_t *data, size_t size);

// Aborts with a message when an invariant does not hold (also in release
// builds, unlike assert).
#define FUZZ_CHECK(cond)                                           \
    do {                                                           \
        if (!(cond)) fuzz_check_failed(#cond, __FILE__, __LINE__); \
    } while (0)

[[noreturn]] void fuzz_check_failed(const char *what, const char *file, int line);

// A private scratch directory for harnesses that must go through files.
const char *fuzz_scratch_dir();

#endif  // GIMBAL_FUZZ_HARNESS_H
