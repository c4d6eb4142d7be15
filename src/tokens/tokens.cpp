// The token queue and the token record formats.
#include "tokens/tokens.h"

#include <cstring>

namespace kiv::tokens {

void push(Box& box, const char* text, uint32_t n, const char* delimiter, const char* address, bool drop_when_full) {
    if (drop_when_full && full(box)) {
        box.dropped.fetch_add(1);
        return;
    }
    push_token(box.queue, text, n, delimiter, address);
}

bool take(Box& box) {
    const TokenRecord* r = box.queue.front();
    if (!r) return false;
    box.text.assign(r->text);
    box.address.assign(r->address);
    box.queue.pop();
    return true;
}

void typed_record(std::string& rec, const char* text, size_t n) {
    rec.assign(1, 'T');
    rec.append(text, n);
    rec += '\n';
}

void plain_record(std::string& rec, const char* text, const ByteString& delimiter) {
    rec.assign(text);
    rec.append(delimiter.data(), delimiter.length());
}

}  // namespace kiv::tokens
