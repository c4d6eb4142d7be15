// The shared library as a host loads it: plain C symbols called through pointers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "support/support.h"

namespace {

const char* const kExports[] = {
    "kiv_connect",        "kiv_listen",         "kiv_accept",          "kiv_disconnect",   "kiv_valid",
    "kiv_player_id",      "kiv_ipaddress",      "copyright",           "kiv_token_send",   "kiv_token_delimiter",
    "kiv_token_receive",  "kiv_token_wait",     "kiv_token_value",     "kiv_token_ipaddress",
    "kiv_message_send",   "kiv_message_receive", "kiv_message_wait",   "kiv_message_value", "kiv_message_id",
    "kiv_message_player", "kiv_data_type",      "kiv_data_get_int",    "kiv_data_get_str", "kiv_data_set_int",
    "kiv_data_set_str",   "kiv_file_send",      "kiv_filesize",        "kiv_file_receive", "kiv_file_wait",
    "kiv_file_byte",      "kiv_file_percentage", "pack_small",         "pack_normal",      "pack_big",
    "unpack_small",       "unpack_normal",      "unpack_big",         "kiv_local_port",   "kiv_token_port",
    "kiv_last_error",     "kiv_player_count",   "kiv_version",
};

TEST(Abi, EveryExportIsAPlainSymbol) {
    void* lib = dlopen(KIV_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    EXPECT_EQ(sizeof kExports / sizeof kExports[0], 42u);
    for (const char* name : kExports) EXPECT_NE(dlsym(lib, name), nullptr) << name;

    using Real1 = double (*)(double);
    using Real3 = double (*)(double, double, double);
    using Str0 = const char* (*)();
    using StrR = const char* (*)(double);
    using RealSR = double (*)(const char*, double);
    auto valid = reinterpret_cast<Real1>(dlsym(lib, "kiv_valid"));
    auto listen = reinterpret_cast<Real3>(dlsym(lib, "kiv_listen"));
    auto disconnect = reinterpret_cast<Real1>(dlsym(lib, "kiv_disconnect"));
    auto notice = reinterpret_cast<Str0>(dlsym(lib, "copyright"));
    auto pack_normal = reinterpret_cast<StrR>(dlsym(lib, "pack_normal"));
    auto unpack_normal = reinterpret_cast<RealSR>(dlsym(lib, "unpack_normal"));

    EXPECT_EQ(valid(0), 0);
    EXPECT_EQ(valid(1), 0);
    EXPECT_EQ(notice(), notice());
    EXPECT_EQ(std::string(pack_normal(2008)), "\xFF\xFF");
    EXPECT_EQ(unpack_normal("abcd\x06\x02", 4), 1000);
    // A connection left open when the library is unloaded is closed by it.
    ASSERT_EQ(listen(0, 1, 0), 1);
    EXPECT_EQ(valid(1), 1);
    ASSERT_EQ(listen(0, 3, 4), 2);
    EXPECT_EQ(disconnect(1), 1);

    // A connection's whole life through the loaded library: records both
    // ways, a peer that leaves (its worker ends on its own), a disconnect;
    // then the unload. Under ThreadSanitizer this is a host's view.
    using Connect = double (*)(const char*, double, double);
    using Send = double (*)(double, const char*, const char*, double);
    auto connect = reinterpret_cast<Connect>(dlsym(lib, "kiv_connect"));
    auto send_token = reinterpret_cast<Send>(dlsym(lib, "kiv_token_send"));
    auto wait = reinterpret_cast<Real1>(dlsym(lib, "kiv_token_wait"));
    auto receive = reinterpret_cast<Real1>(dlsym(lib, "kiv_token_receive"));
    auto value = reinterpret_cast<StrR>(dlsym(lib, "kiv_token_value"));
    for (int round = 0; round < 3; ++round) {
        test::Listener l;
        const double h = connect("127.0.0.1", l.port, 1);
        const int peer = l.accept_one();
        ASSERT_GT(h, 0);
        EXPECT_EQ(send_token(h, "ping", "", 0), 1);
        EXPECT_EQ(test::read_n(peer, 5), "ping\n");
        ASSERT_TRUE(test::write_all(peer, "pong\n"));
        EXPECT_EQ(wait(h), 1);
        EXPECT_EQ(receive(h), 1);
        EXPECT_STREQ(value(h), "pong");
        close(peer);
        EXPECT_TRUE(test::wait_until([&] { return valid(h) == 0; }));
        if (round == 2) break;  // left for the unload to free
        EXPECT_EQ(disconnect(h), 0);
    }
    EXPECT_EQ(dlclose(lib), 0);
}

}  // namespace
