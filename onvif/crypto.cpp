#include "crypto.h"

#include <mbedtls/base64.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/sha1.h>
#include <mbedtls/version.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace onvif {

namespace {

class Generator {
public:
    Generator() {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&drbg_);
        static const unsigned char personal[] = "gimbalhub-onvif";
        if (mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, personal,
                                  sizeof personal - 1) != 0)
            throw std::runtime_error("cannot seed the random generator");
    }
    ~Generator() {
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    std::string bytes(size_t count) {
        std::string out(count, '\0');
        std::lock_guard<std::mutex> lock(mutex_);
        size_t done = 0;
        while (done < count) {
            size_t chunk = std::min<size_t>(count - done, MBEDTLS_CTR_DRBG_MAX_REQUEST);
            if (mbedtls_ctr_drbg_random(&drbg_, reinterpret_cast<unsigned char *>(&out[done]),
                                        chunk) != 0)
                throw std::runtime_error("random generator failed");
            done += chunk;
        }
        return out;
    }

private:
    std::mutex mutex_;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
};

std::string formatUuid(std::string bytes, unsigned version) {
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | (version << 4));
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);
    char text[37];
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.data());
    snprintf(text, sizeof text,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
             b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
             b[15]);
    return text;
}

}  // namespace

Sha1Digest sha1(const std::string &data) {
    Sha1Digest out{};
    const auto *in = reinterpret_cast<const unsigned char *>(data.data());
#if MBEDTLS_VERSION_MAJOR < 3
    mbedtls_sha1_ret(in, data.size(), out.data());
#else
    mbedtls_sha1(in, data.size(), out.data());
#endif
    return out;
}

std::string base64Encode(const std::string &bytes) {
    size_t needed = 0;
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
    mbedtls_base64_encode(nullptr, 0, &needed, in, bytes.size());
    std::string out(needed, '\0');
    size_t written = 0;
    if (mbedtls_base64_encode(reinterpret_cast<unsigned char *>(&out[0]), out.size(), &written, in,
                              bytes.size()) != 0)
        return "";
    out.resize(written);
    return out;
}

bool base64Decode(const std::string &text, std::string &bytes) {
    // The library skips line breaks and spaces; a token carries none.
    if (text.find_first_of(" \t\r\n") != std::string::npos) return false;
    size_t needed = 0;
    const auto *in = reinterpret_cast<const unsigned char *>(text.data());
    int rc = mbedtls_base64_decode(nullptr, 0, &needed, in, text.size());
    if (rc != 0 && rc != MBEDTLS_ERR_BASE64_BUFFER_TOO_SMALL) return false;
    bytes.assign(needed, '\0');
    size_t written = 0;
    if (mbedtls_base64_decode(reinterpret_cast<unsigned char *>(&bytes[0]), bytes.size(), &written,
                              in, text.size()) != 0)
        return false;
    bytes.resize(written);
    return true;
}

std::string randomBytes(size_t count) {
    static Generator generator;
    return generator.bytes(count);
}

std::string randomUuid() { return formatUuid(randomBytes(16), 4); }

std::string nameUuid(const std::string &name) {
    // The URL namespace of RFC 4122.
    static const unsigned char urlNamespace[16] = {0x6b, 0xa7, 0xb8, 0x11, 0x9d, 0xad, 0x11, 0xd1,
                                                   0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8};
    std::string input(reinterpret_cast<const char *>(urlNamespace), sizeof urlNamespace);
    input += name;
    Sha1Digest digest = sha1(input);
    return formatUuid(std::string(digest.begin(), digest.begin() + 16), 5);
}

}  // namespace onvif
