// Bus message values and JSON, converted as the device's web server does.
#ifndef UBUS_GATEWAY_BLOB_JSON_H
#define UBUS_GATEWAY_BLOB_JSON_H

#include <libubus.h>

#include "jsonrpc.h"

namespace ubusgw {

// Appends the members of a JSON object: integers as INT32 where they fit,
// else INT64 (saturated), doubles, booleans as INT8, null as an empty
// UNSPEC. False when the buffer could not take them all.
bool addMembers(blob_buf *buf, const Json &object);

// Merges the members of a reply's data into out; a later member of the same
// name replaces an earlier one. Nesting beyond what a request may hold
// becomes null.
void mergeMembers(blob_attr *data, Json &out);

// A signature as "list" shows it: method -> argument -> "number",
// "string", "boolean", "array", "object" (or "unknown").
Json signatureJson(blob_attr *signature);

}  // namespace ubusgw

#endif
