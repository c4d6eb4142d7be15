// The token queue and the token record formats.
#include "tokens/tokens.h"

#include <cstring>

#include "platform/platform.h"

namespace kiv::tokens {

bool push(Box& box, const char* text, uint32_t n, const char* delimiter, uint32_t from_addr, uint16_t from_port,
          bool drop_when_full) {
    if (drop_when_full && full(box)) {
        box.dropped.fetch_add(1);
        return false;
    }
    Record& r = box.queue.push_new();
    r.text.assign(text, n);
    if (delimiter) r.delimiter.assign(delimiter);
    r.from_addr = from_addr;
    r.from_port = from_port;
    box.queue.commit_push(n);
    return true;
}

bool take(Box& box) {
    const Record* r = box.queue.front();
    if (!r) return false;
    box.text.assign(r->text);
    if (r->from_port != 0) {
        platform::format_dotted(r->from_addr, box.address);
    } else {
        box.address[0] = 0;
    }
    box.port = r->from_port;
    box.queue.pop();
    return true;
}

void typed_record(std::string& rec, const char* text, size_t n) {
    const void* nul = std::memchr(text, 0, n);
    if (nul) n = static_cast<size_t>(static_cast<const char*>(nul) - text);
    rec.assign(1, 'T');
    rec.append(text, n);
    rec += '\n';
}

void plain_record(std::string& rec, const char* text, const ByteString& delimiter) {
    rec.assign(text);
    rec.append(delimiter.data(), delimiter.length());
}

}  // namespace kiv::tokens
