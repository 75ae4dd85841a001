#include "blob_json.h"

#include <gtest/gtest.h>

#include <string>

using ubusgw::Json;

namespace {

// What an object publishes for a method: argument name -> blobmsg type.
TEST(GatewayBlobJson, SignaturesUseTheDevicesTypeNames)
{
    blob_buf b = {};
    blob_buf_init(&b, 0);
    void *sig = blob_nest_start(&b, UBUS_ATTR_SIGNATURE);
    void *m = blobmsg_open_table(&b, "set");
    const std::pair<const char *, int> args[] = {
        {"flag", BLOBMSG_TYPE_INT8},  {"small", BLOBMSG_TYPE_INT16}, {"n", BLOBMSG_TYPE_INT32},
        {"big", BLOBMSG_TYPE_INT64},  {"d", BLOBMSG_TYPE_DOUBLE},    {"s", BLOBMSG_TYPE_STRING},
        {"list", BLOBMSG_TYPE_ARRAY}, {"opts", BLOBMSG_TYPE_TABLE},  {"odd", BLOBMSG_TYPE_UNSPEC},
    };
    for (const auto &a : args)
        blobmsg_add_u32(&b, a.first, static_cast<uint32_t>(a.second));
    blobmsg_close_table(&b, m);
    blobmsg_close_table(&b, blobmsg_open_table(&b, "get"));
    blob_nest_end(&b, sig);
    EXPECT_EQ(R"({"set":{"flag":"boolean","small":"number","n":"number","big":"number","d":"number",)"
              R"("s":"string","list":"array","opts":"object","odd":"unknown"},"get":{}})",
              ubusgw::signatureJson(static_cast<blob_attr *>(blob_data(b.head))).dump());
    blob_buf_free(&b);
}

// Arguments out and data back keep every type, as the device converts them.
TEST(GatewayBlobJson, ValuesKeepTheirTypesBothWays)
{
    Json args = Json::parse(R"({"i":-5,"wide":5000000000,"huge":18446744073709551615,"d":-177.5,"t":true,)"
                            R"("s":"x","n":null,"l":[1,[2]],"o":{"k":"v"}})");
    blob_buf b = {};
    blob_buf_init(&b, 0);
    ASSERT_TRUE(ubusgw::addMembers(&b, args));
    Json back = Json::object();
    back["i"] = "replaced by the data";
    ubusgw::mergeMembers(b.head, back);
    // beyond 64 bits saturates, as the device's JSON reader does
    EXPECT_EQ(R"({"i":-5,"wide":5000000000,"huge":9223372036854775807,"d":-177.5,"t":true,"s":"x","n":null,)"
              R"("l":[1,[2]],"o":{"k":"v"}})",
              back.dump());
    EXPECT_TRUE(back["d"].is_number_float());
    EXPECT_TRUE(back["t"].is_boolean());
    blob_buf_free(&b);
}

}  // namespace
