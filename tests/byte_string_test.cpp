// ByteString and RecordQueue.
#include <gtest/gtest.h>

#include <string>

#include "base/byte_string.h"
#include "base/record_queue.h"

using kiv::ByteString;

namespace {

std::string str(const ByteString& b) { return std::string(b.data(), b.length()); }

TEST(ByteString, EmptyAndAssign) {
    ByteString b;
    EXPECT_EQ(b.length(), 0u);
    ASSERT_NE(b.data(), nullptr);
    EXPECT_STREQ(b.data(), "");
    b.assign("abc", 0);
    EXPECT_EQ(b.length(), 0u);
    EXPECT_STREQ(b.data(), "");
    ByteString c("hello");
    EXPECT_EQ(c.length(), 5u);
    EXPECT_EQ(str(c), "hello");
}

TEST(ByteString, SelfAssignAndSelfAppend) {
    ByteString b("xabc");
    b.assign(b.data() + 1, b.length() - 1);
    EXPECT_EQ(str(b), "abc");
    b.append(b);
    EXPECT_EQ(str(b), "abcabc");
    for (int i = 0; i < 12; ++i) b.append(b);  // grows through reallocations
    EXPECT_EQ(b.length(), 6u * 4096u);
    EXPECT_EQ(str(b).substr(0, 9), "abcabcabc");
}

TEST(ByteString, EmbeddedZeroBytes) {
    ByteString b;
    b.append("a\0b", 3);
    EXPECT_EQ(b.length(), 3u);
    EXPECT_EQ(str(b), std::string("a\0b", 3));
    EXPECT_STREQ(b.data(), "a");  // C-string readers stop at the 0
    ByteString c;
    c.append(b);
    EXPECT_EQ(c.length(), 3u);
}

TEST(ByteString, FindBytesSeesPastZeros) {
    const char hay[] = {'a', 0, 'b', '\r', '\n'};
    EXPECT_EQ(kiv::find_bytes(hay, 5, "\r\n", 2), 3);
    EXPECT_EQ(kiv::find_bytes(hay, 5, "\n\n", 2), -1);
    EXPECT_EQ(kiv::find_bytes(hay, 5, "", 0), 0);
    EXPECT_EQ(kiv::find_bytes(hay, 1, "ab", 2), -1);
}

TEST(RecordQueue, FifoWithFullByteCounts) {
    kiv::RecordQueue<kiv::TokenRecord> q;
    EXPECT_EQ(q.size(), 0u);
    kiv::push_token(q, "a", 1, "\n", "");
    kiv::push_token(q, "b\0c", 3, "\r\n", "10.0.0.5");
    kiv::push_token(q, "c", 1, "\n", "");
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(str(q.front()->text), "a");
    q.pop();
    EXPECT_EQ(q.front()->text.length(), 3u);
    EXPECT_STREQ(q.front()->delimiter.data(), "\r\n");
    EXPECT_STREQ(q.front()->address.data(), "10.0.0.5");
    q.pop();
    q.pop();
    EXPECT_EQ(q.size(), 0u);
    EXPECT_EQ(q.front(), nullptr);
    q.pop();  // guarded
}

TEST(RecordQueue, MessageAndDataChangeForms) {
    kiv::RecordQueue<kiv::MessageRecord> m;
    kiv::push_message(m, "hi", 2, 255, -1, "\n");
    EXPECT_EQ(m.front()->id, 255);
    EXPECT_EQ(m.front()->player, -1);
    kiv::RecordQueue<kiv::DataChange> d;
    kiv::push_change(d, 7, "xyz", 3);
    const uint8_t digits[3] = {2, 1, 1};
    kiv::push_change(d, 8, -42, digits);
    EXPECT_EQ(d.front()->is_string, 1);
    EXPECT_EQ(d.front()->number, 0);
    d.pop();
    EXPECT_EQ(d.front()->is_string, 0);
    EXPECT_EQ(d.front()->number, -42);
    EXPECT_EQ(d.front()->text.length(), 0u);
    EXPECT_EQ(d.front()->slot, 8);
}

}  // namespace
