#include <gtest/gtest.h>

#include "mirv_stream.h"

TEST(MemStreams, ReadBoundsAreExactAndFailuresCopyNothing) {
    const unsigned char data[4] = {1, 2, 3, 4};
    mirv_TMemInputOwner owner = {data, sizeof(data)};
    mirv_TStreamInput in = {&owner, sizeof(data), mem_read, nullptr};
    unsigned char out[5] = {9, 9, 9, 9, 9};

    EXPECT_TRUE(in.read(&in, 4, out, out));          /* empty range at the end */
    EXPECT_FALSE(in.read(&in, 5, out, out));         /* empty range past the end */
    EXPECT_FALSE(in.read(&in, 1, out, out + 4));     /* one byte too far */
    EXPECT_EQ(out[0], 9);
    EXPECT_FALSE(in.read(&in, UINT64_MAX, out, out + 2)); /* position + length wraps */
    ASSERT_TRUE(in.read(&in, 1, out, out + 3));
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[2], 4);
}

TEST(MemStreams, WriteBoundsAreExactAndEarlierPositionsCanBeRewritten) {
    unsigned char buf[4] = {0, 0, 0, 0};
    mirv_TMemOutputOwner owner = {buf, sizeof(buf)};
    mirv_TStreamOutput out = {&owner, sizeof(buf), nullptr, mem_write};
    const unsigned char bytes[5] = {5, 6, 7, 8, 9};

    EXPECT_TRUE(out.write(&out, 2, bytes, bytes + 2)); /* ends exactly at the capacity */
    EXPECT_FALSE(out.write(&out, 0, bytes, bytes + 5));
    EXPECT_FALSE(out.write(&out, 3, bytes, bytes + 2));
    EXPECT_FALSE(out.write(&out, UINT64_MAX - 1, bytes, bytes + 3));
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[3], 6);
    EXPECT_TRUE(out.write(&out, 0, bytes + 2, bytes + 4)); /* revisit the start */
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(buf[1], 8);
    EXPECT_EQ(buf[2], 5);
}

TEST(MemStreams, ReadBackSeesWrittenBytesWithinTheCapacity) {
    unsigned char buf[4] = {0, 0, 0, 0};
    mirv_TMemOutputOwner owner = {buf, sizeof(buf)};
    mirv_TStreamOutput out = {&owner, sizeof(buf), mem_read_back, mem_write};
    const unsigned char bytes[2] = {5, 6};
    unsigned char back[3] = {9, 9, 9};

    ASSERT_TRUE(out.write(&out, 1, bytes, bytes + 2));
    ASSERT_TRUE(out.read_back(&out, 1, back, back + 3));
    EXPECT_EQ(back[0], 5);
    EXPECT_EQ(back[1], 6);
    EXPECT_EQ(back[2], 0);
    EXPECT_FALSE(out.read_back(&out, 2, back, back + 3));
    EXPECT_FALSE(out.read_back(&out, UINT64_MAX, back, back + 2));
}
