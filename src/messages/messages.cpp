// Message records, the message queue and the routing of players' messages.
#include "messages/messages.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "frame/table.h"
#include "net/players.h"
#include "net/server_pass.h"

namespace kiv {

namespace {

// One digit byte cannot carry 252 and 253 (they would decode as 124 and 8)
// nor 254 (a 0 byte).
bool id_fits(int32_t id) { return id >= 0 && id <= 255 && (id < 252 || id > 254); }

// "M", id digit, two player digits, value bytes, "\n". The value is taken by
// length: a relayed value holding a 0 byte is passed on whole.
void build_record(std::string& rec, int32_t id, int32_t player, const char* value, size_t n) {
    uint8_t digits[2];
    encode_normal(player, digits);
    rec.assign(1, 'M');
    rec += static_cast<char>(encode_digit(id));
    rec.append(reinterpret_cast<const char*>(digits), 2);
    rec.append(value, n);
    rec += '\n';
}

void write_record(Connection& c, int32_t id, int32_t player, const char* value) {
    std::string rec;
    build_record(rec, id, player, value, std::strlen(value));
    send_record(c, rec.data(), rec.size());
}

// Sends a built record to a player that is still there.
void send_to_player(Connection& p, const std::string& rec) {
    if (p.kind.load() == kTyped) send_record(p, rec.data(), rec.size());
}

}  // namespace

bool send_message(Connection& c, int32_t id, int32_t player, const char* value) {
    if (c.kind.load() != kTyped || !id_fits(id)) return false;
    if (!value) value = "";
    // A line end would cut the record and make the rest a record nobody sent.
    if (std::strchr(value, '\n')) return false;
    if (c.is_listening()) {
        if (player == 0) {
            std::lock_guard<std::mutex> lk(c.mutex);
            push_message(c.messages, value, static_cast<uint32_t>(std::strlen(value)), static_cast<uint8_t>(id), 0,
                         "\n");
        } else if (player == -1) {
            std::string rec;
            build_record(rec, id, 0, value, std::strlen(value));
            for (Connection* p : player_snapshot(c)) {
                if (p) send_to_player(*p, rec);
            }
        } else if (Connection* p = player_at(c, player)) {
            send_message(*p, id, 0, value);
        }
        return true;
    }
    // Below -1 a digit would come out as a 0 byte or decode to another number.
    if (player < -1 || player > 32767) return false;
    write_record(c, id, player, value);
    return true;
}

void apply_message_record(Connection& c, const uint8_t* rec, uint32_t n) {
    if (n < 4) return;  // too short to hold its header: dropped
    const uint8_t id = static_cast<uint8_t>(decode_digit(rec[1]));
    const int16_t player = static_cast<int16_t>(decode_normal(rec + 2));
    push_message(c.messages, rec + 4, n - 4, id, player, c.delimiter.data());
}

bool take_message(Connection& c) {
    if (c.kind.load() != kTyped) return false;
    std::lock_guard<std::mutex> lk(c.mutex);
    const MessageRecord* r = c.messages.front();
    if (!r) return false;
    c.message_value.assign(r->value);
    c.message_id = r->id;
    c.message_player = r->player;
    c.messages.pop();
    return true;
}

bool wait_message(Connection& c) {
    if (c.kind.load() != kTyped) return true;
    while (c.messages.size() == 0) {
        if (!c.connected()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    }
    return true;
}

// The current message is kept after teardown (kind 0) so that the last one
// taken stays readable; other kinds never have one.
static bool holds_messages(Connection& c) {
    const uint8_t kind = c.kind.load();
    return kind == kTyped || kind == kNotConnected;
}

const char* message_value(Connection& c) {
    return holds_messages(c) ? c.message_value.data() : frame::empty_string();
}

double message_id(Connection& c) { return holds_messages(c) ? c.message_id : 0.0; }

double message_player(Connection& c) { return holds_messages(c) ? c.message_player : 0.0; }

void route_player_messages(Connection& server, Connection& player, size_t i, PassOutput& out) {
    const int32_t sender = static_cast<int32_t>(i + 1);
    const size_t entries = out.players().size();
    std::string rec;
    while (const MessageRecord* r = player.messages.front()) {
        const int32_t target = r->player;
        if (target == 0 || target == -1) {
            push_message(server.messages, r->value.data(), r->value.length(), r->id, static_cast<int16_t>(sender),
                         r->delimiter.data());
        }
        // Every id a record can carry (254 and 255 included) passes on as it
        // came: the id refusal guards only what a script sends.
        if (target == -1 || (target >= 1 && static_cast<size_t>(target) <= entries)) {
            build_record(rec, r->id, sender, r->value.data(), r->value.length());
            if (target == -1) {
                out.to_all_but(i, rec);
            } else {
                out.to(static_cast<size_t>(target - 1), rec);  // the sender itself included
            }
        }
        player.messages.pop();
    }
}

}  // namespace kiv
