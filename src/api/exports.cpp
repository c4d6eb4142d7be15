// The exported C functions: convert the arguments, resolve the handle, check it, call the family.
#define KIV_BUILDING
#include "kiv.h"


#include <exception>

#include "base/packing.h"
#include "files/files.h"
#include "api/convert.h"
#include "api/table.h"
#include "conn/open.h"
#include "conn/traffic.h"

using namespace kiv::api;

namespace {

double flag(bool b) { return b ? 1.0 : 0.0; }

const char* or_empty(const char* s) { return s ? s : ""; }

// Nothing but a result crosses into the host: memory or a thread that
// cannot be had makes the call give its failure value.
template <typename R, typename F>
R guarded(R failure, F body) {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace

extern "C" {

// ---- Connections ----

KIV_API double KIV_CALL kiv_connect(const char* host, double port, double kind) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = kiv::open_connection(or_empty(host), to_port(port), to_kind(kind));
        if (!c) return 0.0;
        set_current(c);
        return enter(c);
    });
}

KIV_API double KIV_CALL kiv_listen(double port, double mode, double limit) {
    return guarded<double>(0.0, [&]() -> double {
        const uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(to_i64(limit)));
        Ref c = kiv::open_server(to_port(port), to_kind(mode), low);
        if (!c) return 0.0;
        set_current(c);
        return enter(c);
    });
}

KIV_API double KIV_CALL kiv_accept(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref server = checked(handle);
        if (!server) return 0.0;
        Ref c = kiv::accept_client(*server);
        set_current(c);
        return enter(c);
    });
}

KIV_API double KIV_CALL kiv_disconnect(double handle) {
    return guarded<double>(0.0, [&] { return disconnect(handle); });
}

KIV_API double KIV_CALL kiv_valid(double handle) {
    return guarded<double>(0.0, [&] { return flag(checked(handle) != nullptr); });
}

KIV_API double KIV_CALL kiv_player_id(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? kiv::player_id(*c) : 0.0;
    });
}

KIV_API const char* KIV_CALL kiv_ipaddress(double handle, double player) {
    return guarded<const char*>("", [&]() -> const char* {
        Ref c = checked(handle);
        if (!c) return kiv::query_own_address();
        return kiv::peer_address(*c, static_cast<int64_t>(static_cast<uint32_t>(static_cast<uint64_t>(to_i64(player)))));
    });
}

// A constant: valid for the life of the library, and no other call writes it.
KIV_API const char* KIV_CALL copyright(void) {
    return "kiv networking library 1.0 - Copyright (c) 2026 the kiv developers";
}

// ---- Tokens ----

KIV_API double KIV_CALL kiv_token_send(double handle, const char* text, const char* host, double port) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::send_token(*c, or_empty(text), or_empty(host), to_port(port))) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_token_delimiter(double handle, const char* delimiter) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::set_delimiter(*c, or_empty(delimiter))) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_token_receive(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::take_token(*c)) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_token_wait(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::wait_token(*c)) : 0.0;
    });
}

KIV_API const char* KIV_CALL kiv_token_value(double handle) {
    return guarded<const char*>("", [&]() -> const char* {
        Ref c = resolve(handle);  // what the script already took stays readable
        return c ? kiv::token_value(*c) : "";
    });
}

KIV_API const char* KIV_CALL kiv_token_ipaddress(double handle) {
    return guarded<const char*>("", [&]() -> const char* {
        Ref c = resolve(handle);  // what the script already took stays readable
        return c ? kiv::token_ipaddress(*c) : "";
    });
}

// ---- Messages ----

KIV_API double KIV_CALL kiv_message_send(double handle, double id, double player, const char* value) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::send_message(*c, static_cast<uint8_t>(to_i16(id)), to_i16(player), or_empty(value))) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_message_receive(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::take_message(*c)) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_message_wait(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::wait_message(*c)) : 0.0;
    });
}

KIV_API const char* KIV_CALL kiv_message_value(double handle) {
    return guarded<const char*>("", [&]() -> const char* {
        Ref c = resolve(handle);  // what the script already took stays readable
        return c ? kiv::message_value(*c) : "";
    });
}

KIV_API double KIV_CALL kiv_message_id(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = resolve(handle);  // what the script already took stays readable
        return c ? kiv::message_id(*c) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_message_player(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = resolve(handle);  // what the script already took stays readable
        return c ? kiv::message_player(*c) : 0.0;
    });
}

// ---- Shared data ----

KIV_API double KIV_CALL kiv_data_type(double handle, double slot) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? kiv::data_type(*c, to_i32(slot)) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_data_get_int(double handle, double slot) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? kiv::data_get_int(*c, to_i32(slot)) : 0.0;
    });
}

KIV_API const char* KIV_CALL kiv_data_get_str(double handle, double slot) {
    return guarded<const char*>("", [&]() -> const char* {
        Ref c = checked(handle);
        return c ? kiv::data_get_str(*c, to_i32(slot)) : "";
    });
}

KIV_API double KIV_CALL kiv_data_set_int(double handle, double slot, double value) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::data_set_int(*c, to_i32(slot), to_i32(value))) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_data_set_str(double handle, double slot, const char* value) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::data_set_str(*c, to_i32(slot), or_empty(value))) : 0.0;
    });
}

// ---- Files ----

KIV_API double KIV_CALL kiv_file_send(double handle, const char* file_name) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::file_send(*c, or_empty(file_name))) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_filesize(const char* file_name) {
    return guarded<double>(0.0, [&] { return kiv::files::file_size(or_empty(file_name)); });
}

KIV_API double KIV_CALL kiv_file_receive(double handle, const char* file_name, double size) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = checked(handle);
        return c ? flag(kiv::file_receive(*c, or_empty(file_name), to_i32(size))) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_file_wait(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = resolve(handle);  // a finished transfer stays finished after the peer leaves
        return c ? kiv::file_wait(*c) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_file_byte(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = resolve(handle);  // a finished transfer stays finished after the peer leaves
        return c ? kiv::files::byte_count(c->file) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_file_percentage(double handle) {
    return guarded<double>(0.0, [&]() -> double {
        Ref c = resolve(handle);  // a finished transfer stays finished after the peer leaves
        return c ? kiv::files::percentage(c->file) : 0.0;
    });
}

// ---- Number packing ----

KIV_API const char* KIV_CALL pack_small(double value) {
    return guarded<const char*>("", [&] { return kiv::pack_number(1, to_i32(value)); });
}
KIV_API const char* KIV_CALL pack_normal(double value) {
    return guarded<const char*>("", [&] { return kiv::pack_number(2, to_i32(value)); });
}
KIV_API const char* KIV_CALL pack_big(double value) {
    return guarded<const char*>("", [&] { return kiv::pack_number(3, to_i32(value)); });
}

KIV_API double KIV_CALL unpack_small(const char* s, double position) {
    return guarded<double>(0.0, [&]() -> double {
        return kiv::unpack_number(1, s, to_i32(position));
    });
}
KIV_API double KIV_CALL unpack_normal(const char* s, double position) {
    return guarded<double>(0.0, [&]() -> double {
        return kiv::unpack_number(2, s, to_i32(position));
    });
}
KIV_API double KIV_CALL unpack_big(const char* s, double position) {
    return guarded<double>(0.0, [&]() -> double {
        return kiv::unpack_number(3, s, to_i32(position));
    });
}

}  // extern "C"
