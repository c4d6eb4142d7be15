// ByteString operations.
#include "base/byte_string.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace kiv {

namespace {
// Spare room kept after clear(): enough for ordinary lines, small enough that
// an idle connection that once saw a huge record does not keep it.
constexpr uint32_t kKeepAfterClear = 4096;

// Every empty string without storage of its own points here; it is never
// written, so a string costs no heap until it holds a byte.
char g_empty[1] = {0};

char* alloc_bytes(uint32_t capacity) {
    // Thrown, not aborted: the exports turn it into their failure value and
    // the library's threads drop the record that needed the room.
    char* p = static_cast<char*>(std::malloc(static_cast<size_t>(capacity) + 1));
    if (!p) throw std::bad_alloc();
    return p;
}
}  // namespace

ByteString::ByteString() : data_(g_empty), length_(0), capacity_(0) {}

ByteString::ByteString(const char* s) : ByteString() { assign(s); }

ByteString::~ByteString() { release(); }

void ByteString::release() {
    if (data_ != g_empty) std::free(data_);
    data_ = g_empty;
    length_ = 0;
    capacity_ = 0;
}

void ByteString::reserve(uint32_t n) {
    if (n <= capacity_) return;
    uint64_t grown = static_cast<uint64_t>(capacity_) * 2;
    uint64_t want = grown > n ? grown : n;
    if (want > 0xFFFFFFFEull) want = 0xFFFFFFFEull;
    char* p = alloc_bytes(static_cast<uint32_t>(want));
    std::memcpy(p, data_, static_cast<size_t>(length_) + 1);
    if (data_ != g_empty) std::free(data_);
    data_ = p;
    capacity_ = static_cast<uint32_t>(want);
}

void ByteString::assign(const void* src, uint32_t n) {
    if (n == 0) {
        release();
        return;
    }
    // The source may point into this string: copy into a fresh buffer first,
    // release the old one afterwards.
    char* p = alloc_bytes(n);
    std::memcpy(p, src, n);
    p[n] = 0;
    if (data_ != g_empty) std::free(data_);
    data_ = p;
    length_ = n;
    capacity_ = n;
}

void ByteString::assign(const char* s) { assign(s ? s : "", static_cast<uint32_t>(std::strlen(s ? s : ""))); }

void ByteString::append(const void* src, uint32_t n) {
    if (n == 0) return;
    const char* s = static_cast<const char*>(src);
    if (s >= data_ && s <= data_ + length_ && length_ + n > capacity_) {
        // Appending part of itself while the buffer moves: go through a copy.
        char* tmp = alloc_bytes(n);
        std::memcpy(tmp, s, n);
        reserve(length_ + n);
        std::memcpy(data_ + length_, tmp, n);
        std::free(tmp);
    } else {
        reserve(length_ + n);
        std::memmove(data_ + length_, s, n);
    }
    length_ += n;
    data_[length_] = 0;
}

void ByteString::append(const ByteString& other) { append(other.data_, other.length_); }

void ByteString::append(const char* s) {
    if (s) append(s, static_cast<uint32_t>(std::strlen(s)));
}

void ByteString::truncate(uint32_t n) {
    if (n >= length_) return;
    length_ = n;
    data_[n] = 0;
}

void ByteString::erase_front(uint32_t n) {
    if (n >= length_) {
        clear();
        return;
    }
    std::memmove(data_, data_ + n, length_ - n);
    length_ -= n;
    data_[length_] = 0;
}

void ByteString::clear() {
    if (capacity_ > kKeepAfterClear) {
        release();
        return;
    }
    length_ = 0;
    if (data_ != g_empty) data_[0] = 0;
}

void ByteString::swap(ByteString& other) {
    std::swap(data_, other.data_);
    std::swap(length_, other.length_);
    std::swap(capacity_, other.capacity_);
}

long find_bytes(const char* hay, size_t hay_len, const char* needle, size_t needle_len) {
    if (needle_len == 0) return 0;
    if (needle_len > hay_len) return -1;
    const char first = needle[0];
    const char* end = hay + (hay_len - needle_len) + 1;
    for (const char* p = hay; p < end;) {
        const void* hit = std::memchr(p, first, static_cast<size_t>(end - p));
        if (!hit) return -1;
        const char* h = static_cast<const char*>(hit);
        if (std::memcmp(h, needle, needle_len) == 0) return static_cast<long>(h - hay);
        p = h + 1;
    }
    return -1;
}

}  // namespace kiv
