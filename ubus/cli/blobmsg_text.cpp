#include "blobmsg_text.h"

#include <json-c/json.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

namespace ubuscli {

namespace {

// Replies come from other processes; bound the recursion a hostile reply
// could otherwise drive into a stack overflow.
constexpr int kMaxFormatDepth = 128;

struct Writer {
    std::string out;
    bool indent = false;
    int level = 0;
    ValueFormatter custom = nullptr;
};

uint64_t readBe(const void *p, size_t n)
{
    const auto *b = static_cast<const uint8_t *>(p);
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = (v << 8) | b[i];
    return v;
}

void addSeparator(Writer &w)
{
    if (!w.indent)
        return;
    w.out += '\n';
    w.out.append(static_cast<size_t>(w.level), '\t');
}

void formatString(Writer &w, const char *str)
{
    w.out += '"';
    for (const auto *p = reinterpret_cast<const unsigned char *>(str); *p; ++p) {
        char esc = 0;
        switch (*p) {
        case '\b':
            esc = 'b';
            break;
        case '\n':
            esc = 'n';
            break;
        case '\t':
            esc = 't';
            break;
        case '\r':
            esc = 'r';
            break;
        case '"':
            esc = '"';
            break;
        case '\\':
            esc = '\\';
            break;
        default:
            if (*p < ' ')
                esc = 'u';
            break;
        }
        if (!esc) {
            w.out += static_cast<char>(*p);
        } else if (esc == 'u') {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", *p);
            w.out += buf;
        } else {
            w.out += '\\';
            w.out += esc;
        }
    }
    w.out += '"';
}

void formatList(Writer &w, const uint8_t *data, size_t len, bool array);

void formatElement(Writer &w, const blob_attr *a, bool withoutName)
{
    if (!blobmsg_check_attr(a, false))
        return;

    // A plain attribute has no name header; never read one from its payload.
    const char *name = blob_is_extended(a) ? blobmsg_name(a) : "";
    if (!withoutName && name[0]) {
        formatString(w, name);
        w.out += w.indent ? ": " : ":";
    }

    if (w.custom) {
        if (const char *text = w.custom(a)) {
            w.out += text;
            return;
        }
    }

    const void *data = blobmsg_data(a);
    size_t len = blobmsg_data_len(a);
    char buf[512];
    switch (blob_id(a)) {
    case BLOBMSG_TYPE_UNSPEC:
        w.out += "null";
        break;
    case BLOBMSG_TYPE_INT8:
        w.out += *static_cast<const uint8_t *>(data) ? "true" : "false";
        break;
    case BLOBMSG_TYPE_INT16:
        snprintf(buf, sizeof(buf), "%d", static_cast<int16_t>(readBe(data, 2)));
        w.out += buf;
        break;
    case BLOBMSG_TYPE_INT32:
        snprintf(buf, sizeof(buf), "%d", static_cast<int32_t>(readBe(data, 4)));
        w.out += buf;
        break;
    case BLOBMSG_TYPE_INT64:
        snprintf(buf, sizeof(buf), "%" PRId64, static_cast<int64_t>(readBe(data, 8)));
        w.out += buf;
        break;
    case BLOBMSG_TYPE_DOUBLE: {
        uint64_t bits = readBe(data, 8);
        double d;
        memcpy(&d, &bits, sizeof(d));
        snprintf(buf, sizeof(buf), "%lf", d);
        w.out += buf;
        break;
    }
    case BLOBMSG_TYPE_STRING:
        formatString(w, static_cast<const char *>(data));
        break;
    case BLOBMSG_TYPE_ARRAY:
    case BLOBMSG_TYPE_TABLE:
        if (w.level >= kMaxFormatDepth) {
            w.out += "null";
            break;
        }
        formatList(w, static_cast<const uint8_t *>(data), len, blob_id(a) == BLOBMSG_TYPE_ARRAY);
        break;
    default:
        break;
    }
}

void formatList(Writer &w, const uint8_t *data, size_t len, bool array)
{
    w.out += array ? '[' : '{';
    w.level++;
    addSeparator(w);
    bool first = true;
    size_t rem = len;
    const uint8_t *pos = data;
    while (rem >= 4) {
        const auto *a = reinterpret_cast<const blob_attr *>(pos);
        size_t pad = blob_pad_len(a);
        if (pad < 4 || pad > rem)
            break;
        if (!first) {
            w.out += ',';
            addSeparator(w);
        }
        formatElement(w, a, array);
        first = false;
        rem -= pad;
        pos += pad;
    }
    w.level--;
    addSeparator(w);
    w.out += array ? ']' : '}';
}

// The same conversion as the device's tool: json-c's lenient reading,
// integers beyond 32 bits as INT64 (json-c saturates beyond 64), null as an
// empty UNSPEC, key order as written.
void addValue(blob_buf *buf, const char *name, json_object *v)
{
    switch (json_object_get_type(v)) {
    case json_type_string:
        blobmsg_add_string(buf, name, json_object_get_string(v));
        break;
    case json_type_int: {
        int64_t i = json_object_get_int64(v);
        if (i >= INT32_MIN && i <= INT32_MAX)
            blobmsg_add_u32(buf, name, static_cast<uint32_t>(i));
        else
            blobmsg_add_u64(buf, name, static_cast<uint64_t>(i));
        break;
    }
    case json_type_double:
        blobmsg_add_double(buf, name, json_object_get_double(v));
        break;
    case json_type_boolean:
        blobmsg_add_u8(buf, name, json_object_get_boolean(v) ? 1 : 0);
        break;
    case json_type_object: {
        void *c = blobmsg_open_table(buf, name);
        json_object_object_foreach(v, key, child) addValue(buf, key, child);
        blobmsg_close_table(buf, c);
        break;
    }
    case json_type_array: {
        void *c = blobmsg_open_array(buf, name);
        for (size_t i = 0; i < json_object_array_length(v); i++)
            addValue(buf, nullptr, json_object_array_get_idx(v, i));
        blobmsg_close_array(buf, c);
        break;
    }
    case json_type_null:
        blobmsg_add_field(buf, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0);
        break;
    }
}

}  // namespace

std::string formatJson(const blob_attr *attr, bool list, int indent, ValueFormatter custom)
{
    Writer w;
    w.custom = custom;
    if (indent >= 0) {
        w.indent = true;
        w.level = indent;
    }
    if (!list) {
        formatElement(w, attr, false);
        return w.out;
    }
    if (blob_is_extended(attr) && !blobmsg_check_attr(attr, false))
        return w.out;
    formatList(w, static_cast<const uint8_t *>(blobmsg_data(attr)), blobmsg_data_len(attr), false);
    return w.out;
}

const char *signatureTypeName(const blob_attr *attr)
{
    if (blob_id(attr) != BLOBMSG_TYPE_INT32)
        return nullptr;
    switch (static_cast<uint32_t>(readBe(blobmsg_data(attr), 4))) {
    case BLOBMSG_TYPE_INT8:
        return "\"Boolean\"";
    case BLOBMSG_TYPE_INT32:
        return "\"Integer\"";
    case BLOBMSG_TYPE_STRING:
        return "\"String\"";
    case BLOBMSG_TYPE_ARRAY:
        return "\"Array\"";
    case BLOBMSG_TYPE_TABLE:
        return "\"Table\"";
    default:
        return "\"(unknown)\"";
    }
}

bool addJsonObject(blob_buf *buf, const std::string &text)
{
    // json-c's default tokener limits nesting to 32 levels.
    json_object *j = json_tokener_parse(text.c_str());
    if (!j)
        return false;
    bool ok = json_object_get_type(j) == json_type_object;
    if (ok) {
        json_object_object_foreach(j, key, child) addValue(buf, key, child);
    }
    json_object_put(j);
    return ok;
}

}  // namespace ubuscli
