// The push forms of the token, message and data-change queues.
#include "base/record_queue.h"

namespace kiv {

void push_token(RecordQueue<TokenRecord>& q, const void* bytes, uint32_t n, const char* delimiter,
                const char* address) {
    TokenRecord& r = q.push_new();
    r.text.assign(bytes, n);
    r.delimiter.assign(delimiter);
    r.address.assign(address);
    q.commit_push(n);
}

void push_message(RecordQueue<MessageRecord>& q, const void* bytes, uint32_t n, uint8_t id, int16_t player,
                  const char* delimiter) {
    MessageRecord& r = q.push_new();
    r.value.assign(bytes, n);
    r.id = id;
    r.player = player;
    r.delimiter.assign(delimiter);
    q.commit_push(n);
}

void push_change(RecordQueue<DataChange>& q, int32_t slot, const void* text, uint32_t n) {
    DataChange& r = q.push_new();
    r.text.assign(text, n);
    r.number = 0;
    r.is_string = 1;
    r.slot = slot;
    q.commit_push(n);
}

void push_change(RecordQueue<DataChange>& q, int32_t slot, int32_t value, const uint8_t digits[3]) {
    DataChange& r = q.push_new();
    r.number = value;
    for (int i = 0; i < 3; ++i) r.digits[i] = digits[i];
    r.is_string = 0;
    r.slot = slot;
    q.commit_push(0);
}

}  // namespace kiv
