// blobmsg <-> nlohmann::json for the bus client. Internal to the library
// (it exposes libubox types); the tests use it directly.
#ifndef BUSCLIENT_JSON_BLOBMSG_H
#define BUSCLIENT_JSON_BLOBMSG_H

#include <libubus.h>

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace busclient {

struct ConversionLimits {
    int maxDepth = 32;            // nested arrays/tables below the top-level table
    size_t maxBytes = 64 * 1024;  // encoded size (JSON -> blobmsg) or input size (blobmsg -> JSON)
};

// Writes the members of a JSON object (null: no members) into buf, which
// must have been initialised. Integers that fit go as int32, others as
// int64; bools as bool (int8); non-integers as double. Fails, with the reason,
// for a non-object, an unsigned integer beyond int64, a string or key holding
// NUL, nesting deeper than the limit or a result larger than the limit.
bool jsonToBlobmsg(const nlohmann::json &object, blob_buf *buf, std::string *error,
                   const ConversionLimits &limits = {});

// Reads a blobmsg table body (the payload of attr, as libubus hands replies
// and event data over; nullptr reads as empty) into a JSON object. Every
// attribute is checked before use; failure, with the reason, for malformed
// or unknown attributes, nesting deeper than the limit or input larger than it.
bool blobmsgToJson(const blob_attr *attr, nlohmann::json *out, std::string *error,
                   const ConversionLimits &limits = {});

}  // namespace busclient

#endif
