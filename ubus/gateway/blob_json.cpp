#include "blob_json.h"

#include <cstdint>
#include <limits>

namespace ubusgw {

namespace {

// Replies come from other processes: bound the recursion they can drive.
constexpr int kMaxReplyDepth = kMaxBodyDepth;

bool add(blob_buf *buf, const char *name, const Json &v)
{
    switch (v.type()) {
    case Json::value_t::string:
        return blobmsg_add_string(buf, name, v.get_ref<const std::string &>().c_str()) == 0;
    case Json::value_t::number_unsigned:
    case Json::value_t::number_integer: {
        int64_t i =
            v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())
                ? std::numeric_limits<int64_t>::max()
                : v.get<int64_t>();
        if (i >= INT32_MIN && i <= INT32_MAX)
            return blobmsg_add_u32(buf, name, static_cast<uint32_t>(i)) == 0;
        return blobmsg_add_u64(buf, name, static_cast<uint64_t>(i)) == 0;
    }
    case Json::value_t::number_float:
        return blobmsg_add_double(buf, name, v.get<double>()) == 0;
    case Json::value_t::boolean:
        return blobmsg_add_u8(buf, name, v.get<bool>() ? 1 : 0) == 0;
    case Json::value_t::null:
        return blobmsg_add_field(buf, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
    case Json::value_t::object: {
        void *c = blobmsg_open_table(buf, name);
        if (!c)
            return false;
        for (auto it = v.begin(); it != v.end(); ++it)
            if (!add(buf, it.key().c_str(), it.value()))
                return false;
        blobmsg_close_table(buf, c);
        return true;
    }
    case Json::value_t::array: {
        void *c = blobmsg_open_array(buf, name);
        if (!c)
            return false;
        for (const Json &e : v)
            if (!add(buf, nullptr, e))
                return false;
        blobmsg_close_array(buf, c);
        return true;
    }
    default:
        return true;
    }
}

Json value(blob_attr *a, int depth)
{
    switch (blob_id(a)) {
    case BLOBMSG_TYPE_INT8:
        return blobmsg_get_u8(a) != 0;
    case BLOBMSG_TYPE_INT16:
        return static_cast<int16_t>(blobmsg_get_u16(a));
    case BLOBMSG_TYPE_INT32:
        return static_cast<int32_t>(blobmsg_get_u32(a));
    case BLOBMSG_TYPE_INT64:
        return static_cast<int64_t>(blobmsg_get_u64(a));
    case BLOBMSG_TYPE_DOUBLE:
        return blobmsg_get_double(a);
    case BLOBMSG_TYPE_STRING:
        return blobmsg_get_string(a);
    case BLOBMSG_TYPE_ARRAY:
    case BLOBMSG_TYPE_TABLE: {
        if (depth >= kMaxReplyDepth)
            return nullptr;
        bool array = blob_id(a) == BLOBMSG_TYPE_ARRAY;
        Json out = array ? Json::array() : Json::object();
        blob_attr *child;
        size_t rem;
        blobmsg_for_each_attr(child, a, rem)
        {
            if (!blobmsg_check_attr(child, false))
                continue;
            if (array)
                out.push_back(value(child, depth + 1));
            else
                out[blobmsg_name(child)] = value(child, depth + 1);
        }
        return out;
    }
    default:
        return nullptr;
    }
}

const char *typeName(uint32_t type)
{
    switch (type) {
    case BLOBMSG_TYPE_INT8:
        return "boolean";
    case BLOBMSG_TYPE_INT16:
    case BLOBMSG_TYPE_INT32:
    case BLOBMSG_TYPE_INT64:
    case BLOBMSG_TYPE_DOUBLE:
        return "number";
    case BLOBMSG_TYPE_STRING:
        return "string";
    case BLOBMSG_TYPE_ARRAY:
        return "array";
    case BLOBMSG_TYPE_TABLE:
        return "object";
    default:
        return "unknown";
    }
}

}  // namespace

bool addMembers(blob_buf *buf, const Json &object)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!add(buf, it.key().c_str(), it.value()))
            return false;
    return true;
}

void mergeMembers(blob_attr *data, Json &out)
{
    blob_attr *a;
    size_t rem;
    blob_for_each_attr(a, data, rem)
    {
        if (blobmsg_check_attr(a, true))
            out[blobmsg_name(a)] = value(a, 1);
    }
}

Json signatureJson(blob_attr *signature)
{
    Json methods = Json::object();
    if (!signature)
        return methods;
    blob_attr *m;
    size_t rem;
    blob_for_each_attr(m, signature, rem)
    {
        if (blob_id(m) != BLOBMSG_TYPE_TABLE || !blobmsg_check_attr(m, true))
            continue;
        Json args = Json::object();
        blob_attr *arg;
        size_t argRem;
        blobmsg_for_each_attr(arg, m, argRem)
        {
            if (blob_id(arg) == BLOBMSG_TYPE_INT32 && blobmsg_check_attr(arg, true))
                args[blobmsg_name(arg)] = typeName(blobmsg_get_u32(arg));
        }
        methods[blobmsg_name(m)] = std::move(args);
    }
    return methods;
}

}  // namespace ubusgw
