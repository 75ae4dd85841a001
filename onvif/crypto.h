// SHA-1, base64 and random bytes from the crypto library, in the shapes the
// endpoint needs (token digests, nonces, UUIDs).
#ifndef GIMBAL_ONVIF_CRYPTO_H
#define GIMBAL_ONVIF_CRYPTO_H

#include <array>
#include <cstdint>
#include <string>

namespace onvif {

using Sha1Digest = std::array<uint8_t, 20>;

Sha1Digest sha1(const std::string &data);
std::string base64Encode(const std::string &bytes);
// False for anything that is not canonical base64 (whitespace included).
bool base64Decode(const std::string &text, std::string &bytes);
// Bytes from a generator seeded by the system's entropy; thread-safe.
std::string randomBytes(size_t count);
// "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx", random (version 4).
std::string randomUuid();
// A name-based UUID (version 5, SHA-1) in the URL namespace: the same
// name gives the same UUID on every start.
std::string nameUuid(const std::string &name);

}  // namespace onvif

#endif
