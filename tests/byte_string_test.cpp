// ByteString and RecordQueue.
#include <gtest/gtest.h>

#include <string>

#include "base/byte_string.h"
#include "platform/platform.h"
#include "tokens/tokens.h"

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

TEST(RecordQueue, FifoThroughTheTokenBox) {
    kiv::tokens::Box box;
    EXPECT_EQ(box.queue.size(), 0u);
    EXPECT_EQ(box.queue.bytes(), 0u);
    kiv::tokens::push(box, "a", 1, "\n", 0, 0, false);
    uint32_t addr = 0;
    ASSERT_TRUE(kiv::platform::parse_dotted("10.0.0.5", &addr));
    kiv::tokens::push(box, "b\0c", 3, "\r\n", addr, 4000, false);
    kiv::tokens::push(box, "c", 1, nullptr, 0, 0, false);
    ASSERT_EQ(box.queue.size(), 3u);
    EXPECT_GT(box.queue.bytes(), 5u);
    EXPECT_EQ(str(box.queue.front()->text), "a");
    box.queue.pop();
    EXPECT_EQ(box.queue.front()->text.length(), 3u);
    EXPECT_STREQ(box.queue.front()->delimiter.data(), "\r\n");
    ASSERT_TRUE(kiv::tokens::take(box));
    EXPECT_STREQ(box.address, "10.0.0.5");
    EXPECT_EQ(box.port, 4000);
    ASSERT_TRUE(kiv::tokens::take(box));
    EXPECT_STREQ(box.address, "");
    EXPECT_EQ(box.queue.size(), 0u);
    EXPECT_EQ(box.queue.bytes(), 0u);
    EXPECT_FALSE(kiv::tokens::take(box));
    EXPECT_EQ(box.queue.front(), nullptr);
    box.queue.pop();  // guarded
}

}  // namespace
