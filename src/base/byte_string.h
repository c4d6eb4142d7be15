// ByteString: the library's one owned byte buffer, always followed by a 0 byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

// Content may hold 0 bytes (length counts them); the C-string operations
// (equals, C-string sources, readers of data()) see only up to the first 0.
// Storage grows geometrically so that appending byte by byte stays linear;
// what the operations return is unaffected by the spare room.
class ByteString {
public:
    ByteString();
    explicit ByteString(const char* s);
    ~ByteString();

    // Two owners of one buffer would release it twice: content is copied
    // only through assign/append.
    ByteString(const ByteString&) = delete;
    ByteString& operator=(const ByteString&) = delete;

    void assign(const void* src, uint32_t n);
    void assign(const char* s);
    void assign(const ByteString& other) { assign(other.data(), other.length()); }

    char* data() const { return data_; }
    uint32_t length() const { return length_; }
    bool empty() const { return length_ == 0; }

    void append(const void* src, uint32_t n);
    void append(const ByteString& other);
    void append(const char* s);
    void append(int32_t value);

    bool equals(const ByteString& other) const;
    bool equals(const char* s) const;

    void to_lower();
    void to_upper();

    // Keeps the first n bytes (n <= length).
    void truncate(uint32_t n);
    // Drops the first n bytes (n <= length).
    void erase_front(uint32_t n);
    // Empties the content and gives large spare room back to the heap.
    void clear();
    void swap(ByteString& other);

    // Cuts the content at each non-overlapping occurrence of separator.
    // Returns the piece count and a malloc'ed array of pieces, each created
    // with new; the caller owns both. Like the C-string search it is built on,
    // it sees the content only up to its first 0 byte; the source is cut in
    // place (0 written over the first byte of each occurrence). An empty
    // separator gives one piece holding the whole text.
    uint32_t split(const char* separator, ByteString*** pieces);

private:
    void reserve(uint32_t n);

    char* data_;
    uint32_t length_;
    uint32_t capacity_;  // usable content bytes, not counting the final 0
};

// First occurrence of needle in [hay, hay + hay_len), by length (0 bytes are
// ordinary bytes). Returns the offset, or -1. An empty needle matches at 0.
long find_bytes(const char* hay, size_t hay_len, const char* needle, size_t needle_len);

}  // namespace kiv
