// ByteString operations.
#include "base/byte_string.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kiv {

namespace {
// Spare room kept after clear(): enough for ordinary lines, small enough that
// an idle connection that once saw a huge record does not keep it.
constexpr uint32_t kKeepAfterClear = 4096;

char* alloc_bytes(uint32_t capacity) {
    char* p = static_cast<char*>(std::malloc(static_cast<size_t>(capacity) + 1));
    if (!p) std::abort();
    return p;
}
}  // namespace

ByteString::ByteString() : data_(alloc_bytes(0)), length_(0), capacity_(0) { data_[0] = 0; }

ByteString::ByteString(const char* s) : ByteString() { assign(s); }

ByteString::~ByteString() { std::free(data_); }

void ByteString::reserve(uint32_t n) {
    if (n <= capacity_) return;
    uint64_t grown = static_cast<uint64_t>(capacity_) * 2;
    uint64_t want = grown > n ? grown : n;
    if (want > 0xFFFFFFFEull) want = 0xFFFFFFFEull;
    char* p = alloc_bytes(static_cast<uint32_t>(want));
    std::memcpy(p, data_, static_cast<size_t>(length_) + 1);
    std::free(data_);
    data_ = p;
    capacity_ = static_cast<uint32_t>(want);
}

void ByteString::assign(const void* src, uint32_t n) {
    // The source may point into this string: copy into a fresh buffer first,
    // release the old one afterwards.
    char* p = alloc_bytes(n);
    if (n) std::memcpy(p, src, n);
    p[n] = 0;
    std::free(data_);
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

void ByteString::append(int32_t value) {
    char buf[16];
    int n = std::snprintf(buf, sizeof buf, "%ld", static_cast<long>(value));
    append(buf, static_cast<uint32_t>(n));
}

bool ByteString::equals(const ByteString& other) const { return std::strcmp(data_, other.data_) == 0; }

bool ByteString::equals(const char* s) const { return std::strcmp(data_, s ? s : "") == 0; }

void ByteString::to_lower() {
    for (uint32_t i = 0; i < length_; ++i) {
        unsigned char c = static_cast<unsigned char>(data_[i]);
        if (c < 0x80) data_[i] = static_cast<char>(std::tolower(c));
    }
}

void ByteString::to_upper() {
    for (uint32_t i = 0; i < length_; ++i) {
        unsigned char c = static_cast<unsigned char>(data_[i]);
        if (c < 0x80) data_[i] = static_cast<char>(std::toupper(c));
    }
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
        std::free(data_);
        data_ = alloc_bytes(0);
        capacity_ = 0;
    }
    length_ = 0;
    data_[0] = 0;
}

void ByteString::swap(ByteString& other) {
    std::swap(data_, other.data_);
    std::swap(length_, other.length_);
    std::swap(capacity_, other.capacity_);
}

uint32_t ByteString::split(const char* separator, ByteString*** pieces) {
    const char* sep = separator ? separator : "";
    size_t sep_len = std::strlen(sep);
    uint32_t count = 1;
    if (sep_len) {
        for (const char* p = std::strstr(data_, sep); p; p = std::strstr(p + sep_len, sep)) ++count;
    }
    ByteString** out = static_cast<ByteString**>(std::malloc(sizeof(ByteString*) * count));
    if (!out) std::abort();
    char* pos = data_;
    for (uint32_t i = 0; i < count; ++i) {
        char* hit = (sep_len && i + 1 < count) ? std::strstr(pos, sep) : nullptr;
        if (hit) *hit = 0;
        out[i] = new ByteString();
        out[i]->assign(pos);
        if (hit) pos = hit + sep_len;
    }
    *pieces = out;
    return count;
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
