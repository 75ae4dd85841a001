#include "json_blobmsg.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace busclient {

namespace {

using json = nlohmann::json;

class Writer {
public:
    Writer(blob_buf *buf, const ConversionLimits &limits, std::string *error)
        : buf_(buf), limits_(limits), error_(error) {}

    bool members(const json &object, int depth) {
        for (auto it = object.begin(); it != object.end(); ++it) {
            // blobmsg names are C strings and a table member needs one
            if (it.key().empty() || it.key().find('\0') != std::string::npos)
                return fail("object key is empty or holds NUL");
            if (!value(it.key().c_str(), it.value(), depth)) return false;
        }
        return true;
    }

private:
    bool value(const char *name, const json &v, int depth) {
        switch (v.type()) {
            case json::value_t::null:
                return added(blobmsg_add_field(buf_, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0));
            case json::value_t::boolean:
                return added(blobmsg_add_u8(buf_, name, v.get<bool>() ? 1 : 0));
            case json::value_t::number_integer:
                return integer(name, v.get<int64_t>());
            case json::value_t::number_unsigned: {
                uint64_t u = v.get<uint64_t>();
                if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                    return fail("integer out of the int64 range");
                return integer(name, static_cast<int64_t>(u));
            }
            case json::value_t::number_float:
                return added(blobmsg_add_double(buf_, name, v.get<double>()));
            case json::value_t::string: {
                const std::string &s = v.get_ref<const std::string &>();
                if (s.find('\0') != std::string::npos) return fail("string holds NUL");
                return added(blobmsg_add_string(buf_, name, s.c_str()));
            }
            case json::value_t::array:
            case json::value_t::object: {
                if (depth + 1 > limits_.maxDepth) return fail("nested too deeply");
                bool array = v.is_array();
                void *cookie = blobmsg_open_nested(buf_, name, array);
                if (!cookie) return fail("out of memory");
                bool ok = true;
                if (array) {
                    for (const json &item : v) {
                        if (!(ok = value("", item, depth + 1))) break;
                    }
                } else {
                    ok = members(v, depth + 1);
                }
                if (array)
                    blobmsg_close_array(buf_, cookie);
                else
                    blobmsg_close_table(buf_, cookie);
                return ok;
            }
            default:
                return fail("value type not representable");
        }
    }

    bool integer(const char *name, int64_t i) {
        if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max())
            return added(
                blobmsg_add_u32(buf_, name, static_cast<uint32_t>(static_cast<int32_t>(i))));
        return added(blobmsg_add_u64(buf_, name, static_cast<uint64_t>(i)));
    }

    bool added(int ret) { return ret < 0 ? fail("out of memory") : true; }

    bool fail(const char *why) {
        if (error_) *error_ = why;
        return false;
    }

    blob_buf *buf_;
    const ConversionLimits &limits_;
    std::string *error_;
};

class Reader {
public:
    Reader(const ConversionLimits &limits, std::string *error) : limits_(limits), error_(error) {}

    // Walks a list of attributes; a table's become members, an array's items.
    bool list(const uint8_t *p, size_t rem, bool table, int depth, json &out) {
        out = table ? json::object() : json::array();
        while (rem > 0) {
            if (rem < sizeof(blob_attr)) return fail("truncated attribute");
            const auto *a = reinterpret_cast<const blob_attr *>(p);
            // without the blobmsg header the name would be read from the payload
            if (!blob_is_extended(a) || !blobmsg_check_attr_len(a, false, rem))
                return fail("malformed attribute");
            json v;
            if (!value(a, depth, v)) return false;
            if (table)
                out[blobmsg_name(a)] = std::move(v);
            else
                out.push_back(std::move(v));
            size_t step = blob_pad_len(a);
            if (step > rem) step = rem;
            p += step;
            rem -= step;
        }
        return true;
    }

private:
    bool value(const blob_attr *ca, int depth, json &out) {
        auto *a = const_cast<blob_attr *>(ca);  // the getters take non-const pointers
        size_t len = blobmsg_data_len(a);
        switch (blobmsg_type(a)) {
            case BLOBMSG_TYPE_UNSPEC:
                out = nullptr;
                return true;
            case BLOBMSG_TYPE_INT8:
                if (len < 1) return fail("short bool");
                out = blobmsg_get_bool(a);
                return true;
            case BLOBMSG_TYPE_INT16:
                if (len < 2) return fail("short int16");
                out = static_cast<int16_t>(blobmsg_get_u16(a));
                return true;
            case BLOBMSG_TYPE_INT32:
                if (len < 4) return fail("short int32");
                out = static_cast<int32_t>(blobmsg_get_u32(a));
                return true;
            case BLOBMSG_TYPE_INT64:
                if (len < 8) return fail("short int64");
                out = static_cast<int64_t>(blobmsg_get_u64(a));
                return true;
            case BLOBMSG_TYPE_DOUBLE:
                if (len < 8) return fail("short double");
                out = blobmsg_get_double(a);
                return true;
            case BLOBMSG_TYPE_STRING: {
                const char *s = static_cast<const char *>(blobmsg_data(a));
                const void *end = std::memchr(s, '\0', len);
                if (!end) return fail("unterminated string");
                out = std::string(s, static_cast<const char *>(end));
                return true;
            }
            case BLOBMSG_TYPE_TABLE:
            case BLOBMSG_TYPE_ARRAY:
                if (depth + 1 > limits_.maxDepth) return fail("nested too deeply");
                return list(static_cast<const uint8_t *>(blobmsg_data(a)), len,
                            blobmsg_type(a) == BLOBMSG_TYPE_TABLE, depth + 1, out);
            default:
                return fail("unknown attribute type");
        }
    }

    bool fail(const char *why) {
        if (error_) *error_ = why;
        return false;
    }

    const ConversionLimits &limits_;
    std::string *error_;
};

}  // namespace

bool jsonToBlobmsg(const nlohmann::json &object, blob_buf *buf, std::string *error,
                   const ConversionLimits &limits) {
    if (object.is_null()) return true;
    if (!object.is_object()) {
        if (error) *error = "not a JSON object";
        return false;
    }
    if (!Writer(buf, limits, error).members(object, 0)) return false;
    if (blob_raw_len(buf->head) > limits.maxBytes) {
        if (error) *error = "too large";
        return false;
    }
    return true;
}

bool blobmsgToJson(const blob_attr *attr, nlohmann::json *out, std::string *error,
                   const ConversionLimits &limits) {
    *out = nlohmann::json::object();
    if (!attr) return true;
    size_t len = blob_len(attr);
    if (len > limits.maxBytes) {
        if (error) *error = "too large";
        return false;
    }
    return Reader(limits, error)
        .list(static_cast<const uint8_t *>(blob_data(attr)), len, true, 0, *out);
}

}  // namespace busclient
