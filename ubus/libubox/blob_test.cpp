#include <libubox/blobmsg.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// "8500000c 00017800" -> bytes; spaces are only for readability.
Bytes hex(const std::string &text)
{
	Bytes out;
	std::string digits;
	for (char c : text)
		if (c != ' ' && c != '\n')
			digits += c;
	for (size_t i = 0; i + 1 < digits.size(); i += 2)
		out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
	return out;
}

Bytes payload(const blob_buf &b)
{
	const uint8_t *p = static_cast<const uint8_t *>(blob_data(b.head));
	return Bytes(p, p + blob_len(b.head));
}

class UboxBlob : public ::testing::Test {
protected:
	void TearDown() override { blob_buf_free(&b); }
	blob_buf b = {};
};

TEST_F(UboxBlob, SampleEncodingsOfEveryType)
{
	struct Case {
		const char *what;
		void (*add)(blob_buf *);
		const char *bytes;
	};
	const Case cases[] = {
		{"int32", [](blob_buf *p) { blobmsg_add_u32(p, "x", 10); }, "8500000c 00017800 0000000a"},
		{"negative", [](blob_buf *p) { blobmsg_add_u32(p, "y", (uint32_t) -20); },
		 "8500000c 00017900 ffffffec"},
		{"string", [](blob_buf *p) { blobmsg_add_string(p, "name", "a"); },
		 "8300000e 00046e61 6d650000 61000000"},
		{"bool", [](blob_buf *p) { blobmsg_add_u8(p, "b", 1); }, "87000009 00016200 01000000"},
		{"int16", [](blob_buf *p) { blobmsg_add_u16(p, "s", 65535); }, "8600000a 00017300 ffff0000"},
		{"int64", [](blob_buf *p) { blobmsg_add_u64(p, "l", 1234567890123ULL); },
		 "84000010 00016c00 0000011f 71fb04cb"},
		{"double", [](blob_buf *p) { blobmsg_add_double(p, "d", 1.5); },
		 "88000010 00016400 3ff80000 00000000"},
		{"null", [](blob_buf *p) { blobmsg_add_field(p, BLOBMSG_TYPE_UNSPEC, "nul", NULL, 0); },
		 "8000000c 00036e75 6c000000"},
		{"array",
		 [](blob_buf *p) {
			 void *c = blobmsg_open_array(p, "arr");
			 blobmsg_add_u32(p, NULL, 1);
			 blobmsg_add_string(p, "", "two");
			 blobmsg_close_array(p, c);
		 },
		 "81000024 00036172 72000000 8500000c 00000000 00000001 8300000c 00000000 74776f00"},
	};
	for (const Case &c : cases) {
		ASSERT_EQ(0, blob_buf_init(&b, 0));
		c.add(&b);
		EXPECT_EQ(hex(c.bytes), payload(b)) << c.what;
	}
}

TEST_F(UboxBlob, InitThenOneFieldGivesRootAndPaddedChild)
{
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	EXPECT_EQ(0u, blob_len(b.head));
	blobmsg_add_u32(&b, "x", 5);
	EXPECT_EQ(12u, blob_len(b.head));
	const uint8_t *p = reinterpret_cast<const uint8_t *>(b.head);
	EXPECT_EQ(hex("00000010 8500000c 00017800 00000005"), Bytes(p, p + 16));
	EXPECT_EQ(5u, blobmsg_get_u32(static_cast<blob_attr *>(blob_data(b.head))));
}

TEST_F(UboxBlob, NameHeaderLengthFollowsNameLength)
{
	const std::pair<std::string, size_t> names[] = {
		{"", 4}, {"a", 4}, {"ab", 8}, {"abcde", 8}, {"abcdef", 12}};
	for (const auto &n : names) {
		EXPECT_EQ(n.second, (size_t) blobmsg_hdrlen((unsigned) n.first.size())) << n.first;
		ASSERT_EQ(0, blob_buf_init(&b, 0));
		blobmsg_add_u32(&b, n.first.c_str(), 7);
		blob_attr *a = static_cast<blob_attr *>(blob_data(b.head));
		EXPECT_EQ(4 + n.second + 4, blob_raw_len(a)) << n.first;
		EXPECT_EQ(n.first, blobmsg_name(a));
		EXPECT_EQ(4u, blobmsg_data_len(a));
		EXPECT_EQ(7u, blobmsg_get_u32(a));
		EXPECT_TRUE(blobmsg_check_attr(a, false));
	}
}

TEST_F(UboxBlob, BufferGrowsIn256ByteStepsAndReinitKeepsTheAllocation)
{
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	EXPECT_EQ(256, b.buflen);
	std::string big(299, 's');
	ASSERT_EQ(0, blobmsg_add_string(&b, NULL, big.c_str()));
	EXPECT_EQ(512, b.buflen);
	void *mem = b.buf;
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	EXPECT_EQ(mem, b.buf);
	EXPECT_EQ(512, b.buflen);
	EXPECT_EQ(0u, blob_len(b.head));

	// growth may move the buffer: nesting cookies must survive it
	void *outer = blobmsg_open_table(&b, "outer");
	for (int i = 0; i < 100; i++)
		blobmsg_add_string(&b, "k", big.c_str());
	blobmsg_close_table(&b, outer);
	blob_attr *t = static_cast<blob_attr *>(blob_data(b.head));
	EXPECT_EQ(100, blobmsg_check_array(t, BLOBMSG_TYPE_STRING));
	EXPECT_EQ(blob_pad_len(t), blob_len(b.head));
}

TEST_F(UboxBlob, NestedContainersCountChildPadding)
{
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	void *t = blobmsg_open_table(&b, "t");
	blobmsg_add_string(&b, "s", "xy");  // 11 bytes raw, 12 padded
	void *a = blobmsg_open_array(&b, NULL);
	blobmsg_add_u8(&b, NULL, 0);
	blobmsg_close_array(&b, a);
	blobmsg_close_table(&b, t);
	EXPECT_EQ(hex("82000028 00017400"
		      "8300000b 00017300 78790000"
		      "81000014 00000000 87000009 00000000 00000000"),
		  payload(b));
}

TEST_F(UboxBlob, SignatureExampleFromNestAndTables)
{
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	void *sig = blob_nest_start(&b, 6);
	void *m = blobmsg_open_table(&b, "move");
	blobmsg_add_u32(&b, "x", BLOBMSG_TYPE_INT32);
	blobmsg_add_u32(&b, "y", BLOBMSG_TYPE_INT32);
	blobmsg_close_table(&b, m);
	m = blobmsg_open_table(&b, "status");
	blobmsg_close_table(&b, m);
	blob_nest_end(&b, sig);
	EXPECT_EQ(hex("06000038 82000024 00046d6f 76650000 8500000c 00017800 00000005"
		      "8500000c 00017900 00000005 82000010 00067374 61747573 00000000"),
		  payload(b));
}

// Builds one raw attribute for the validation cases.
Bytes attr(const std::string &h) { return hex(h); }

TEST(UboxBlobmsgCheck, RejectsEachKindOfMalformedAttribute)
{
	struct Case {
		const char *what;
		Bytes bytes;
		bool name;
		size_t len;  // 0: the attribute's own raw length
	};
	const Case bad[] = {
		{"available < 4", attr("85000004"), false, 3},
		{"raw length < 4", attr("85000003 00000000"), false, 8},
		{"raw length > available", attr("8500000c 00017800 00000001"), false, 8},
		{"not extended, name required", attr("05000008 00000001"), true, 0},
		{"empty name, name required", attr("8500000c 00000000 00000001"), true, 0},
		{"name not terminated", attr("8500000c 00017878 00000001"), false, 0},
		{"type above DOUBLE", attr("8900000c 00017800 00000001"), false, 0},
		{"int32 with 2 bytes", attr("8500000a 00017800 00010000"), false, 0},
		{"string without NUL", attr("8300000b 00017300 78797a00"), false, 0},
		{"name header cut short", attr("85000006 00057800"), false, 0},
	};
	for (const Case &c : bad) {
		const blob_attr *a = reinterpret_cast<const blob_attr *>(c.bytes.data());
		size_t len = c.len ? c.len : blob_raw_len(a);
		EXPECT_FALSE(blobmsg_check_attr_len(a, c.name, len)) << c.what;
	}

	const Bytes good = attr("8500000c 00017800 00000001");
	EXPECT_TRUE(blobmsg_check_attr(reinterpret_cast<const blob_attr *>(good.data()), true));
	const Bytes plain = attr("05000008 00000001");
	EXPECT_TRUE(blobmsg_check_attr(reinterpret_cast<const blob_attr *>(plain.data()), false));
	// containers are not checked recursively
	const Bytes table = attr("82000014 00017400 8500000a 00017800 00010000");
	const blob_attr *t = reinterpret_cast<const blob_attr *>(table.data());
	EXPECT_TRUE(blobmsg_check_attr(t, false));
	EXPECT_EQ(-1, blobmsg_check_array(t, BLOBMSG_TYPE_UNSPEC));
}

class UboxBlobmsgParse : public UboxBlob {
protected:
	enum { STEP, NAME, ANY, WIDE, N };
	const blobmsg_policy policy[N] = {
		{"step", BLOBMSG_TYPE_INT32},
		{"name", BLOBMSG_TYPE_STRING},
		{"step", BLOBMSG_TYPE_UNSPEC},
		{"wide", BLOBMSG_CAST_INT64},
	};
	blob_attr *tb[N];

	int parse() { return blobmsg_parse(policy, N, tb, blob_data(b.head), (unsigned) blob_len(b.head)); }
	void fill() { for (auto &slot : tb) slot = reinterpret_cast<blob_attr *>(this); }
};

TEST_F(UboxBlobmsgParse, EmptyInputClearsSlotsAndFails)
{
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	fill();
	EXPECT_EQ(-EINVAL, parse());
	for (auto *slot : tb)
		EXPECT_EQ(nullptr, slot);
	fill();
	EXPECT_EQ(-EINVAL, blobmsg_parse(policy, N, tb, NULL, 12));
	EXPECT_EQ(nullptr, tb[STEP]);
}

TEST_F(UboxBlobmsgParse, TypeMismatchLeavesSlotEmptyAndFirstMatchWins)
{
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	blobmsg_add_string(&b, "step", "abc");
	blobmsg_add_u32(&b, "step", 1);
	blobmsg_add_u32(&b, "step", 2);
	blobmsg_add_u64(&b, "wide", 5000000000ULL);
	blobmsg_add_u32(&b, "Name", 3);
	blobmsg_add_u32(&b, "stepx", 4);
	fill();
	EXPECT_EQ(0, parse());
	ASSERT_NE(nullptr, tb[STEP]);
	EXPECT_EQ(1u, blobmsg_get_u32(tb[STEP]));
	ASSERT_NE(nullptr, tb[ANY]);
	EXPECT_EQ(BLOBMSG_TYPE_STRING, blobmsg_type(tb[ANY]));
	EXPECT_EQ(nullptr, tb[NAME]);
	ASSERT_NE(nullptr, tb[WIDE]);
	EXPECT_EQ(5000000000ULL, blobmsg_get_u64(tb[WIDE]));

	// an int64 does not satisfy an int32 policy
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	blobmsg_add_u64(&b, "step", 5);
	EXPECT_EQ(0, parse());
	EXPECT_EQ(nullptr, tb[STEP]);
	EXPECT_NE(nullptr, tb[ANY]);
}

TEST_F(UboxBlobmsgParse, MalformedAttributeFailsButKeepsEarlierSlots)
{
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	blobmsg_add_u32(&b, "step", 9);
	blobmsg_add_u16(&b, "other", 1);
	blobmsg_add_string(&b, "name", "n");
	// turn "other" into an INT32 that carries only 2 bytes
	blob_attr *other = blob_next(static_cast<blob_attr *>(blob_data(b.head)));
	other->id_len = cpu_to_be32((be32_to_cpu(other->id_len) & ~BLOB_ATTR_ID_MASK) |
				    (BLOBMSG_TYPE_INT32 << BLOB_ATTR_ID_SHIFT));
	EXPECT_EQ(-1, parse());
	ASSERT_NE(nullptr, tb[STEP]);
	EXPECT_EQ(9u, blobmsg_get_u32(tb[STEP]));
	EXPECT_EQ(nullptr, tb[NAME]);
}

TEST_F(UboxBlobmsgParse, TrailingBytesAndUnnamedAttributesAreSkipped)
{
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	blob_put_u32(&b, 5, 77);  // plain blob attribute, no name header
	blobmsg_add_u32(&b, "step", 3);
	fill();
	// two stray bytes after the list do not form an attribute
	EXPECT_EQ(0, blobmsg_parse(policy, N, tb, blob_data(b.head), (unsigned) blob_len(b.head) + 2));
	ASSERT_NE(nullptr, tb[STEP]);
	EXPECT_EQ(3u, blobmsg_get_u32(tb[STEP]));
}

TEST_F(UboxBlobmsgParse, ArrayFillsSlotsByPosition)
{
	const blobmsg_policy pos[] = {{NULL, BLOBMSG_TYPE_INT32}, {NULL, BLOBMSG_TYPE_STRING}};
	blob_attr *slots[2];
	ASSERT_EQ(0, blob_buf_init(&b, 0));
	blobmsg_add_u32(&b, NULL, 1);
	blobmsg_add_u32(&b, NULL, 2);
	blobmsg_add_string(&b, NULL, "ignored");
	EXPECT_EQ(0, blobmsg_parse_array(pos, 2, slots, blob_data(b.head), (unsigned) blob_len(b.head)));
	ASSERT_NE(nullptr, slots[0]);
	EXPECT_EQ(1u, blobmsg_get_u32(slots[0]));
	EXPECT_EQ(nullptr, slots[1]);
}

TEST(UboxBlobParse, LastOccurrenceWinsAndBadAttributesCountAsAbsent)
{
	const blob_attr_info info[4] = {{}, {BLOB_ATTR_INT32, 0, 0, NULL}, {BLOB_ATTR_STRING, 0, 0, NULL}, {}};
	blob_attr *tb[4];
	// root: id1=1, id1=2, id2 string without NUL, id3 short, child claiming more than the root
	const Bytes msg = hex("00000024 01000008 00000001 01000008 00000002 02000006 61620000"
			      "03000008 00000003 0300ff00");
	blob_attr *root = reinterpret_cast<blob_attr *>(const_cast<uint8_t *>(msg.data()));
	EXPECT_EQ(2, blob_parse_untrusted(root, msg.size(), tb, info, 4));
	ASSERT_NE(nullptr, tb[1]);
	EXPECT_EQ(2u, blob_get_u32(tb[1]));
	EXPECT_EQ(nullptr, tb[2]);
	EXPECT_NE(nullptr, tb[3]);
	// a root longer than the bytes we hold is rejected as a whole
	EXPECT_EQ(0, blob_parse_untrusted(root, msg.size() - 8, tb, info, 4));
	EXPECT_EQ(nullptr, tb[1]);
}

TEST(UboxBlobParse, CheckTypeRules)
{
	const char s[] = "ab";
	EXPECT_TRUE(blob_check_type(s, 3, BLOB_ATTR_STRING));
	EXPECT_FALSE(blob_check_type(s, 2, BLOB_ATTR_STRING));
	EXPECT_FALSE(blob_check_type(s, 0, BLOB_ATTR_STRING));
	EXPECT_TRUE(blob_check_type(s, 1, BLOB_ATTR_INT8));
	EXPECT_FALSE(blob_check_type(s, 3, BLOB_ATTR_INT16));
	EXPECT_TRUE(blob_check_type(s, 0, BLOB_ATTR_BINARY));
	EXPECT_FALSE(blob_check_type(s, 4, BLOB_ATTR_LAST));
}

}  // namespace
