// JSON <-> blobmsg: the wire types chosen for numbers, and the limits and
// checks that keep hostile or broken input out.
#include "json_blobmsg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

namespace {

using busclient::blobmsgToJson;
using busclient::ConversionLimits;
using busclient::jsonToBlobmsg;
using json = nlohmann::json;

class Blob {
public:
    Blob() { blob_buf_init(&buf_, 0); }
    ~Blob() { blob_buf_free(&buf_); }
    blob_buf *buf() { return &buf_; }
    blob_attr *head() { return buf_.head; }

    // Wire type of each top-level member.
    std::map<std::string, int> types() {
        std::map<std::string, int> out;
        blob_attr *a;
        size_t rem;
        blob_for_each_attr(a, buf_.head, rem) { out[blobmsg_name(a)] = blobmsg_type(a); }
        return out;
    }

private:
    blob_buf buf_ = {};
};

json roundTrip(const json &in) {
    Blob b;
    std::string error;
    EXPECT_TRUE(jsonToBlobmsg(in, b.buf(), &error)) << error;
    json out;
    EXPECT_TRUE(blobmsgToJson(b.head(), &out, &error)) << error;
    return out;
}

json nested(int levels) {
    json v = 1;
    for (int i = 0; i < levels; i++) v = (i % 2) ? json{{"k", v}} : json::array({v});
    return v;
}

TEST(BusClientJson, NumbersTakeTheNarrowestExactWireType) {
    const int64_t i32max = std::numeric_limits<int32_t>::max();
    const int64_t i32min = std::numeric_limits<int32_t>::min();
    json in = {{"small", 5},
               {"max32", i32max},
               {"min32", i32min},
               {"above32", i32max + 1},
               {"below32", i32min - 1},
               {"max64", std::numeric_limits<int64_t>::max()},
               {"unsigned64", static_cast<uint64_t>(std::numeric_limits<int64_t>::max())},
               {"half", 0.5},
               {"whole", 2.0},
               {"yes", true},
               {"none", nullptr}};
    Blob b;
    ASSERT_TRUE(jsonToBlobmsg(in, b.buf(), nullptr));
    std::map<std::string, int> types = b.types();
    EXPECT_EQ(types["small"], BLOBMSG_TYPE_INT32);
    EXPECT_EQ(types["max32"], BLOBMSG_TYPE_INT32);
    EXPECT_EQ(types["min32"], BLOBMSG_TYPE_INT32);
    EXPECT_EQ(types["above32"], BLOBMSG_TYPE_INT64);
    EXPECT_EQ(types["below32"], BLOBMSG_TYPE_INT64);
    EXPECT_EQ(types["unsigned64"], BLOBMSG_TYPE_INT64);
    EXPECT_EQ(types["half"], BLOBMSG_TYPE_DOUBLE);
    EXPECT_EQ(types["whole"], BLOBMSG_TYPE_DOUBLE);  // a double stays one
    EXPECT_EQ(types["yes"], BLOBMSG_TYPE_BOOL);
    EXPECT_EQ(types["none"], BLOBMSG_TYPE_UNSPEC);

    json out;
    ASSERT_TRUE(blobmsgToJson(b.head(), &out, nullptr));
    EXPECT_EQ(out, in);
    EXPECT_TRUE(out["whole"].is_number_float());
    EXPECT_EQ(out["min32"].get<int64_t>(), i32min);  // int32 read back signed
}

TEST(BusClientJson, StructuresSurviveTheRoundTrip) {
    json in = {{"s", "text \"quoted\" ü"},
               {"list", {1, "two", 3.5, false, json::array(), json::object()}},
               {"table", {{"inner", {{"deep", {-1, -2}}}}, {"empty", ""}}}};
    EXPECT_EQ(roundTrip(in), in);
    EXPECT_EQ(roundTrip(nullptr), json::object());
    EXPECT_EQ(roundTrip(json::object()), json::object());
}

TEST(BusClientJson, EncodingRefusesWhatTheWireCannotCarry) {
    const char *refused[] = {
        R"([1, 2])",  // arguments are a table
        R"("text")",
        R"({"u": 18446744073709551615})",  // beyond int64
        R"({"": 1})",                      // a table member needs a name
        R"({"s": "a\u0000b"})",            // C strings on the wire
        R"({"a\u0000b": 1})",
    };
    for (const char *text : refused) {
        Blob b;
        std::string error;
        EXPECT_FALSE(jsonToBlobmsg(json::parse(text), b.buf(), &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(BusClientJson, NestingAndSizeAreBoundedBothWays) {
    ConversionLimits limits;
    limits.maxDepth = 4;
    {
        Blob b;
        EXPECT_TRUE(jsonToBlobmsg({{"v", nested(4)}}, b.buf(), nullptr, limits));
        json out;
        EXPECT_TRUE(blobmsgToJson(b.head(), &out, nullptr, limits));
        // the same data read with a lower limit
        ConversionLimits lower = limits;
        lower.maxDepth = 3;
        std::string error;
        EXPECT_FALSE(blobmsgToJson(b.head(), &out, &error, lower));
        EXPECT_EQ(error, "nested too deeply");
    }
    {
        Blob b;
        std::string error;
        EXPECT_FALSE(jsonToBlobmsg({{"v", nested(5)}}, b.buf(), &error, limits));
        EXPECT_EQ(error, "nested too deeply");
    }

    ConversionLimits small;
    small.maxBytes = 256;
    Blob fits, big;
    EXPECT_TRUE(jsonToBlobmsg({{"s", std::string(100, 'x')}}, fits.buf(), nullptr, small));
    std::string error;
    EXPECT_FALSE(jsonToBlobmsg({{"s", std::string(300, 'x')}}, big.buf(), &error, small));
    EXPECT_EQ(error, "too large");
    Blob unbounded;
    ASSERT_TRUE(jsonToBlobmsg({{"s", std::string(300, 'x')}}, unbounded.buf(), nullptr));
    json out;
    EXPECT_FALSE(blobmsgToJson(unbounded.head(), &out, &error, small));
}

TEST(BusClientJson, ReadingRejectsMalformedAttributes) {
    json out;
    std::string error;
    EXPECT_TRUE(blobmsgToJson(nullptr, &out, &error));
    EXPECT_EQ(out, json::object());

    // a string whose terminator was overwritten
    {
        Blob b;
        blobmsg_add_string(b.buf(), "s", "abc");
        blob_attr *s = static_cast<blob_attr *>(blob_data(b.head()));
        char *text = static_cast<char *>(blobmsg_data(s));
        std::memset(text, 'x', blobmsg_data_len(s));
        EXPECT_FALSE(blobmsgToJson(b.head(), &out, &error));
    }
    // a plain blob attribute (no name header) among blobmsg ones
    {
        Blob b;
        blob_put_u32(b.buf(), BLOBMSG_TYPE_INT32, 7);
        EXPECT_FALSE(blobmsgToJson(b.head(), &out, &error));
        EXPECT_EQ(error, "malformed attribute");
    }
    // an attribute claiming more bytes than there are
    {
        Blob b;
        blobmsg_add_u32(b.buf(), "n", 1);
        std::vector<uint8_t> bytes(reinterpret_cast<uint8_t *>(b.head()),
                                   reinterpret_cast<uint8_t *>(b.head()) + blob_raw_len(b.head()));
        auto *copy = reinterpret_cast<blob_attr *>(bytes.data());
        auto *inner = static_cast<blob_attr *>(blob_data(copy));
        // raise the inner length (low 24 bits, big-endian) past the end
        uint32_t idLen = be32_to_cpu(inner->id_len);
        inner->id_len = cpu_to_be32((idLen & 0xff000000u) | ((idLen & 0xffffffu) + 64));
        EXPECT_FALSE(blobmsgToJson(copy, &out, &error));
    }
    // types the other side reads as plain numbers
    {
        Blob b;
        blobmsg_add_u16(b.buf(), "i16", static_cast<uint16_t>(-3));
        blobmsg_add_u32(b.buf(), "neg", static_cast<uint32_t>(-7));
        blobmsg_add_u64(b.buf(), "i64", static_cast<uint64_t>(-1));
        ASSERT_TRUE(blobmsgToJson(b.head(), &out, &error)) << error;
        EXPECT_EQ(out, json({{"i16", -3}, {"neg", -7}, {"i64", -1}}));
    }
}

}  // namespace
