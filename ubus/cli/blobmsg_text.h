// Conversions between blobmsg and JSON text, as the ubus command-line tool
// reads its argument and prints replies.
#ifndef UBUS_CLI_BLOBMSG_TEXT_H
#define UBUS_CLI_BLOBMSG_TEXT_H

#include <libubus.h>

#include <string>

namespace ubuscli {

// Returns replacement text for one attribute, or nullptr for the normal form.
using ValueFormatter = const char *(*)(const blob_attr *attr);

// list: print the attribute's children as a JSON object (its own name is not
// printed). indent < 0 gives compact output; otherwise one TAB per level,
// starting at that level.
std::string formatJson(const blob_attr *attr, bool list, int indent, ValueFormatter custom = nullptr);

// Type names shown by "-v list" for the argument types in a signature.
const char *signatureTypeName(const blob_attr *attr);

// Appends the members of a JSON object text to buf, read as json-c reads it
// (comments, single quotes, trailing commas and text after the object are
// accepted). False for invalid JSON, for anything that is not an object and
// for nesting deeper than 32 levels.
bool addJsonObject(blob_buf *buf, const std::string &text);

}  // namespace ubuscli

#endif
