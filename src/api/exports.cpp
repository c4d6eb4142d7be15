// The exported C functions: convert the arguments, resolve the handle, check it, call the family.
//
// Each export is one line of the table below; its contract is in kiv.h.
#define KIV_BUILDING
#include "kiv.h"

#include <exception>

#include "api/convert.h"
#include "api/table.h"
#include "base/packing.h"
#include "conn/address.h"
#include "conn/failure.h"
#include "conn/open.h"
#include "conn/traffic.h"

using namespace kiv;
using namespace kiv::api;

namespace {

double flag(bool b) { return b ? 1.0 : 0.0; }
bool is_failure(double r) { return r == 0.0; }
bool is_failure(const char* r) { return r[0] == 0; }

// Runs one export: nothing but a result crosses into the host (memory or a
// thread that cannot be had gives the failure value), and a failure's noted
// reason becomes the thread's last error. A success costs a flag.
template <typename R, typename F>
R run(R failure, F body) {
    begin_call();
    try {
        const R r = body();
        if (is_failure(r) && failure_noted()) commit_failure("");
        return r;
    } catch (...) {
        commit_failure("out of memory or threads");
        return failure;
    }
}

// On the connection a handle names that passes the validity check.
template <typename R, typename F>
R on_valid(double handle, R failure, F f) {
    return run(failure, [&]() -> R {
        Ref c = checked(handle);
        return c ? f(*c) : failure;
    });
}

// On the connection a handle names, usable or not: what the script already
// took (the current token and message, a transfer's progress) stays
// readable after the peer has gone.
template <typename R, typename F>
R on_named(double handle, R failure, F f) {
    return run(failure, [&]() -> R {
        Ref c = resolve(handle);
        return c ? f(*c) : failure;
    });
}

// Enters a new connection (or, for accept, possibly none) as current and in the table.
double entered(const Ref& c) {
    set_current(c);
    const double handle = enter(c);
    if (c) kiv::entered(*c, static_cast<int32_t>(handle));
    return handle;
}

uint32_t low_32(double v) { return static_cast<uint32_t>(static_cast<uint64_t>(to_i64(v))); }

}  // namespace

extern "C" {

// ---- Connections ----

KIV_API double KIV_CALL kiv_connect(const char* host, double port, double kind) {
    return run(0.0, [&] {
        Ref c = open_connection(host ? host : "", to_port(port), to_kind(kind));
        return c ? entered(c) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_listen(double port, double mode, double limit) {
    return run(0.0, [&] {
        Ref c = open_server(to_port(port), to_kind(mode), low_32(limit));
        return c ? entered(c) : 0.0;
    });
}

KIV_API double KIV_CALL kiv_accept(double handle) {
    return on_valid(handle, 0.0, [](Connection& server) { return entered(accept_client(server)); });
}

KIV_API double KIV_CALL kiv_disconnect(double handle) { return run(0.0, [&] { return disconnect(handle); }); }

// A question, not an action: 0 is its answer, never a failure to report.
KIV_API double KIV_CALL kiv_valid(double handle) {
    try {
        return flag(valid(resolve(handle)));
    } catch (...) {
        return 0.0;
    }
}

KIV_API double KIV_CALL kiv_player_id(double handle) {
    return on_valid(handle, 0.0, [](Connection& c) { return player_id(c); });
}

KIV_API const char* KIV_CALL kiv_ipaddress(double handle, double player) {
    return run<const char*>("", [&] {
        Ref c = checked(handle);
        return c ? peer_address(*c, low_32(player)) : query_own_address();
    });
}

// A constant: valid for the life of the library, and no other call writes it.
KIV_API const char* KIV_CALL copyright(void) {
    return "kiv networking library 1.0 - Copyright (c) 2026 the kiv developers";
}

// ---- Tokens ----

KIV_API double KIV_CALL kiv_token_send(double handle, const char* text, const char* host, double port) {
    return on_valid(handle, 0.0, [&](Connection& c) {
        return flag(send_token(c, text ? text : "", host ? host : "", to_port(port)));
    });
}

KIV_API double KIV_CALL kiv_token_delimiter(double handle, const char* delimiter) {
    return on_valid(handle, 0.0, [&](Connection& c) { return flag(set_delimiter(c, delimiter ? delimiter : "")); });
}

KIV_API double KIV_CALL kiv_token_receive(double handle) {
    return on_valid(handle, 0.0, [](Connection& c) { return flag(take_token(c)); });
}

KIV_API double KIV_CALL kiv_token_wait(double handle) {
    return on_valid(handle, 0.0, [](Connection& c) { return flag(wait_token(c)); });
}

KIV_API const char* KIV_CALL kiv_token_value(double handle) {
    return on_named<const char*>(handle, "", [](Connection& c) { return token_value(c); });
}

KIV_API const char* KIV_CALL kiv_token_ipaddress(double handle) {
    return on_named<const char*>(handle, "", [](Connection& c) { return token_ipaddress(c); });
}

// ---- Messages ----

KIV_API double KIV_CALL kiv_message_send(double handle, double id, double player, const char* value) {
    return on_valid(handle, 0.0, [&](Connection& c) {
        return flag(send_message(c, static_cast<uint8_t>(to_i16(id)), to_i16(player), value ? value : ""));
    });
}

KIV_API double KIV_CALL kiv_message_receive(double handle) {
    return on_valid(handle, 0.0, [](Connection& c) { return flag(take_message(c)); });
}

KIV_API double KIV_CALL kiv_message_wait(double handle) {
    return on_valid(handle, 0.0, [](Connection& c) { return flag(wait_message(c)); });
}

KIV_API const char* KIV_CALL kiv_message_value(double handle) {
    return on_named<const char*>(handle, "", [](Connection& c) { return message_value(c); });
}

KIV_API double KIV_CALL kiv_message_id(double handle) {
    return on_named(handle, 0.0, [](Connection& c) { return message_id(c); });
}

KIV_API double KIV_CALL kiv_message_player(double handle) {
    return on_named(handle, 0.0, [](Connection& c) { return message_player(c); });
}

// ---- Shared data ----

KIV_API double KIV_CALL kiv_data_type(double handle, double slot) {
    return on_valid(handle, 0.0, [&](Connection& c) { return data_type(c, to_i32(slot)); });
}

KIV_API double KIV_CALL kiv_data_get_int(double handle, double slot) {
    return on_valid(handle, 0.0, [&](Connection& c) { return data_get_int(c, to_i32(slot)); });
}

KIV_API const char* KIV_CALL kiv_data_get_str(double handle, double slot) {
    return on_valid<const char*>(handle, "", [&](Connection& c) { return data_get_str(c, to_i32(slot)); });
}

KIV_API double KIV_CALL kiv_data_set_int(double handle, double slot, double value) {
    return on_valid(handle, 0.0, [&](Connection& c) { return flag(data_set_int(c, to_i32(slot), to_i32(value))); });
}

KIV_API double KIV_CALL kiv_data_set_str(double handle, double slot, const char* value) {
    return on_valid(handle, 0.0, [&](Connection& c) {
        return flag(data_set_str(c, to_i32(slot), value ? value : ""));
    });
}

// ---- Files ----

KIV_API double KIV_CALL kiv_file_send(double handle, const char* file_name) {
    return on_valid(handle, 0.0, [&](Connection& c) { return flag(file_send(c, file_name ? file_name : "")); });
}

KIV_API double KIV_CALL kiv_filesize(const char* file_name) {
    return run(0.0, [&] { return file_size(file_name ? file_name : ""); });
}

KIV_API double KIV_CALL kiv_file_receive(double handle, const char* file_name, double size) {
    return on_valid(handle, 0.0, [&](Connection& c) {
        return flag(file_receive(c, file_name ? file_name : "", to_i32(size)));
    });
}

// A finished transfer stays finished after the peer leaves.
KIV_API double KIV_CALL kiv_file_wait(double handle) {
    return on_named(handle, 0.0, [](Connection& c) { return file_wait(c); });
}

KIV_API double KIV_CALL kiv_file_byte(double handle) {
    return on_named(handle, 0.0, [](Connection& c) { return files::byte_count(c.file); });
}

KIV_API double KIV_CALL kiv_file_percentage(double handle) {
    return on_named(handle, 0.0, [](Connection& c) { return files::percentage(c.file); });
}

// ---- Number packing ----

KIV_API const char* KIV_CALL pack_small(double value) { return pack_number(1, to_i32(value)); }
KIV_API const char* KIV_CALL pack_normal(double value) { return pack_number(2, to_i32(value)); }
KIV_API const char* KIV_CALL pack_big(double value) { return pack_number(3, to_i32(value)); }

KIV_API double KIV_CALL unpack_small(const char* s, double position) { return unpack_number(1, s, to_i32(position)); }
KIV_API double KIV_CALL unpack_normal(const char* s, double position) { return unpack_number(2, s, to_i32(position)); }
KIV_API double KIV_CALL unpack_big(const char* s, double position) { return unpack_number(3, s, to_i32(position)); }

// ---- Additions: ports, the reason for a failure, players, the version ----

KIV_API double KIV_CALL kiv_local_port(double handle) {
    return on_named(handle, 0.0, [](Connection& c) -> double { return local_port(c); });
}

KIV_API double KIV_CALL kiv_token_port(double handle) {
    return on_named(handle, 0.0, [](Connection& c) { return token_port(c); });
}

KIV_API const char* KIV_CALL kiv_last_error(void) { return last_failure(); }

KIV_API double KIV_CALL kiv_player_count(double handle) {
    return on_valid(handle, 0.0, [](Connection& c) { return player_count(c); });
}

KIV_API const char* KIV_CALL kiv_version(void) { return KIV_VERSION_STRING; }

}  // extern "C"
