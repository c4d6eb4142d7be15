// Message records and the message queue.
#include "messages/messages.h"

#include <cstring>

#include "base/codec.h"

namespace kiv::messages {

void build_record(std::string& rec, int32_t id, int32_t player, const char* value, size_t n) {
    const void* nul = std::memchr(value, 0, n);
    if (nul) n = static_cast<size_t>(static_cast<const char*>(nul) - value);
    uint8_t digits[2];
    encode_normal(player, digits);
    rec.assign(1, 'M');
    rec += static_cast<char>(encode_digit(id));
    rec.append(reinterpret_cast<const char*>(digits), 2);
    rec.append(value, n);
    rec += '\n';
}

bool push(Box& box, const char* value, uint32_t n, uint8_t id, int16_t player, bool drop_when_full) {
    if (drop_when_full && box.queue.bytes() >= kQueueBound) {
        box.dropped.fetch_add(1);
        return false;
    }
    Record& r = box.queue.push_new();
    r.value.assign(value, n);
    r.id = id;
    r.player = player;
    box.queue.commit_push(n);
    return true;
}

bool apply_record(Box& box, const uint8_t* rec, uint32_t n, bool drop_when_full) {
    if (n < 4) return false;  // too short to hold its header: dropped
    const uint8_t id = static_cast<uint8_t>(decode_digit(rec[1]));
    const int16_t player = static_cast<int16_t>(decode_normal(rec + 2));
    return push(box, reinterpret_cast<const char*>(rec + 4), n - 4, id, player, drop_when_full);
}

bool take(Box& box) {
    const Record* r = box.queue.front();
    if (!r) return false;
    box.value.assign(r->value);
    box.id = r->id;
    box.player = r->player;
    box.queue.pop();
    return true;
}

}  // namespace kiv::messages
