// ByteString: the library's one owned byte buffer, always followed by a 0 byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

// Content may hold 0 bytes (length counts them); C-string sources and
// readers of data() see only up to the first 0.
// Storage grows geometrically so that appending byte by byte stays linear;
// what the operations return is unaffected by the spare room. An empty
// string holds no storage of its own.
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
    // Room for n more bytes at the end, for a reader to fill in place; then
    // grow(k) adds the k bytes it wrote (k <= n).
    char* room_for(uint32_t n) {
        reserve(length_ + n);
        return data_ + length_;
    }
    void grow(uint32_t k) {
        if (k == 0) return;
        length_ += k;
        data_[length_] = 0;
    }
    void append(const ByteString& other);
    void append(const char* s);

    // Keeps the first n bytes (n <= length).
    void truncate(uint32_t n);
    // Drops the first n bytes (n <= length).
    void erase_front(uint32_t n);
    // Empties the content and gives large spare room back to the heap.
    void clear();
    // Empties the content and gives all storage back.
    void release();
    void swap(ByteString& other);

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
