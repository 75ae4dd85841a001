#include "blobmsg_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using ubuscli::addJsonObject;
using ubuscli::formatJson;

namespace {

class BlobmsgText : public ::testing::Test {
protected:
    void SetUp() override { blob_buf_init(&buf_, 0); }
    void TearDown() override { blob_buf_free(&buf_); }

    // JSON text in, reply text out: the CLI's two conversions back to back.
    std::string roundTrip(const std::string &json, int indent)
    {
        blob_buf_init(&buf_, 0);
        EXPECT_TRUE(addJsonObject(&buf_, json)) << json;
        return formatJson(buf_.head, true, indent);
    }

    int typeOf(const std::string &json, const char *key)
    {
        blob_buf_init(&buf_, 0);
        EXPECT_TRUE(addJsonObject(&buf_, json));
        blob_attr *a;
        size_t rem;
        blob_for_each_attr(a, buf_.head, rem)
        {
            if (strcmp(blobmsg_name(a), key) == 0)
                return blobmsg_type(a);
        }
        return -1;
    }

    blob_buf buf_ = {};
};

TEST_F(BlobmsgText, IndentedLayoutUsesOneTabPerLevel)
{
    EXPECT_EQ(roundTrip(R"({"pan":10,"tilt":-5,"nested":{"ok":true,"arr":[1,"two"]}})", 0),
              "{\n\t\"pan\": 10,\n\t\"tilt\": -5,\n\t\"nested\": {\n\t\t\"ok\": true,\n"
              "\t\t\"arr\": [\n\t\t\t1,\n\t\t\t\"two\"\n\t\t]\n\t}\n}");
}

TEST_F(BlobmsgText, CompactLayoutAndEmptyContainers)
{
    EXPECT_EQ(roundTrip(R"({"pan":10,"tilt":-5,"t":{},"a":[]})", -1),
              R"({"pan":10,"tilt":-5,"t":{},"a":[]})");
    EXPECT_EQ(roundTrip("{}", 0), "{\n\t\n}");
    EXPECT_EQ(roundTrip("{}", -1), "{}");
}

TEST_F(BlobmsgText, ValueFormats)
{
    EXPECT_EQ(roundTrip(R"({"d":1.5,"n":null,"b":false,"big":-5000000000})", -1),
              R"({"d":1.500000,"n":null,"b":false,"big":-5000000000})");
    EXPECT_EQ(roundTrip(R"({"s":"q\"b\\n\nt\tr\rb\bc\u0001é"})", -1),
              "{\"s\":\"q\\\"b\\\\n\\nt\\tr\\rb\\bc\\u0001\xc3\xa9\"}");
}

TEST_F(BlobmsgText, JsonNumbersPickTheNarrowestWireType)
{
    EXPECT_EQ(typeOf(R"({"x":2147483647})", "x"), BLOBMSG_TYPE_INT32);
    EXPECT_EQ(typeOf(R"({"x":-2147483648})", "x"), BLOBMSG_TYPE_INT32);
    EXPECT_EQ(typeOf(R"({"x":2147483648})", "x"), BLOBMSG_TYPE_INT64);
    EXPECT_EQ(typeOf(R"({"x":-2147483649})", "x"), BLOBMSG_TYPE_INT64);
    EXPECT_EQ(typeOf(R"({"x":true})", "x"), BLOBMSG_TYPE_INT8);
    EXPECT_EQ(typeOf(R"({"x":1.0})", "x"), BLOBMSG_TYPE_DOUBLE);
    EXPECT_EQ(typeOf(R"({"x":null})", "x"), BLOBMSG_TYPE_UNSPEC);
    // Beyond the signed 64-bit range the value saturates instead of wrapping.
    EXPECT_EQ(roundTrip(R"({"x":18446744073709551615})", -1), R"({"x":9223372036854775807})");
}

TEST_F(BlobmsgText, KeyOrderIsKept)
{
    EXPECT_EQ(roundTrip(R"({"z":1,"a":2,"m":{"y":1,"b":2}})", -1), R"({"z":1,"a":2,"m":{"y":1,"b":2}})");
}

TEST_F(BlobmsgText, RejectsWhatIsNotAJsonObject)
{
    for (const char *bad : {"", "{bad", "{a:1}", "[1]", "1", "\"s\"", "null"}) {
        blob_buf_init(&buf_, 0);
        EXPECT_FALSE(addJsonObject(&buf_, bad)) << bad;
    }
    std::string deep = R"({"a":)";
    for (int i = 0; i < 40; i++)
        deep += "[";
    for (int i = 0; i < 40; i++)
        deep += "]";
    deep += "}";
    blob_buf_init(&buf_, 0);
    EXPECT_FALSE(addJsonObject(&buf_, deep));
}

// What the device's tool accepts, scripts written against it may send.
TEST_F(BlobmsgText, ReadsJsonAsLenientlyAsTheDevicesTool)
{
    EXPECT_EQ(roundTrip(R"({"a":[1,2,],"b":1,})", -1), R"({"a":[1,2],"b":1})");
    EXPECT_EQ(roundTrip("{'s':'q' /* c */, \"n\":007 // x\n}", -1), R"({"s":"q","n":7})");
    EXPECT_EQ(roundTrip(R"({"x":NaN,"y":-Infinity})", -1), R"({"x":nan,"y":-inf})");
    EXPECT_EQ(roundTrip(R"({"x":99999999999999999999999,"y":-99999999999999999999})", -1),
              R"({"x":9223372036854775807,"y":-9223372036854775808})");
    EXPECT_EQ(roundTrip(R"({"a":1,"b":2,"a":3} trailing)", -1), R"({"a":3,"b":2})");
}

TEST_F(BlobmsgText, SignatureTypeNames)
{
    blob_buf_init(&buf_, 0);
    void *m = blobmsg_open_table(&buf_, "move");
    blobmsg_add_u32(&buf_, "i", BLOBMSG_TYPE_INT32);
    blobmsg_add_u32(&buf_, "s", BLOBMSG_TYPE_STRING);
    blobmsg_add_u32(&buf_, "b", BLOBMSG_TYPE_BOOL);
    blobmsg_add_u32(&buf_, "a", BLOBMSG_TYPE_ARRAY);
    blobmsg_add_u32(&buf_, "t", BLOBMSG_TYPE_TABLE);
    blobmsg_add_u32(&buf_, "l", BLOBMSG_TYPE_INT64);
    blobmsg_add_u32(&buf_, "d", BLOBMSG_TYPE_DOUBLE);
    blobmsg_add_u32(&buf_, "x", 0xffffffffu);
    blobmsg_close_table(&buf_, m);
    auto *method = static_cast<blob_attr *>(blob_data(buf_.head));
    EXPECT_EQ(formatJson(method, false, -1, ubuscli::signatureTypeName),
              R"x("move":{"i":"Integer","s":"String","b":"Boolean","a":"Array","t":"Table",)x"
              R"x("l":"(unknown)","d":"(unknown)","x":"(unknown)"})x");
}

// Replies come from other processes: malformed elements are skipped and a
// length that overruns the buffer is never followed.
TEST_F(BlobmsgText, MalformedRepliesAreSkippedSafely)
{
    // A DATA attribute with: a valid "a": 1, an INT32 whose payload is 2 bytes,
    // a string without its terminator, then a child claiming 64 KiB.
    std::vector<uint32_t> words = {
        0,          0x8500000c, 0x00016100, 0x00000001,  // "a": 1
        0x8500000a, 0x00016200, 0x00010000,              // "b": INT32 with 2 bytes
        0x8300000c, 0x00016300, 0x41414141,              // "c": "AAAA" without NUL
        0x8500ffff,                                      // overruns the container
    };
    for (auto &w : words)
        w = htobe32(w);
    words[0] = htobe32(0x07000000u | static_cast<uint32_t>(words.size() * 4));
    auto *data = reinterpret_cast<blob_attr *>(words.data());
    EXPECT_EQ(formatJson(data, true, -1), R"({"a":1,,})");

    // Deep nesting a hostile owner could send does not exhaust the stack.
    blob_buf_init(&buf_, 0);
    std::vector<void *> cookies;
    for (int i = 0; i < 5000; i++)
        cookies.push_back(blobmsg_open_array(&buf_, "n"));
    for (auto it = cookies.rbegin(); it != cookies.rend(); ++it)
        blobmsg_close_array(&buf_, *it);
    std::string text = formatJson(buf_.head, true, -1);
    EXPECT_NE(text.find("null"), std::string::npos);
}

}  // namespace
