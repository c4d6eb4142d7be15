// Loads kiv.dll the way a Windows host does: LoadLibraryA, then every export by its plain name as a cdecl pointer.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace wt {

struct Kiv {
    HMODULE lib = nullptr;
    double(__cdecl* connect)(const char*, double, double) = nullptr;
    double(__cdecl* listen)(double, double, double) = nullptr;
    double(__cdecl* accept)(double) = nullptr;
    double(__cdecl* disconnect)(double) = nullptr;
    double(__cdecl* valid)(double) = nullptr;
    double(__cdecl* player_id)(double) = nullptr;
    const char*(__cdecl* ipaddress)(double, double) = nullptr;
    const char*(__cdecl* copyright)() = nullptr;
    double(__cdecl* token_send)(double, const char*, const char*, double) = nullptr;
    double(__cdecl* token_delimiter)(double, const char*) = nullptr;
    double(__cdecl* token_receive)(double) = nullptr;
    double(__cdecl* token_wait)(double) = nullptr;
    const char*(__cdecl* token_value)(double) = nullptr;
    const char*(__cdecl* token_ipaddress)(double) = nullptr;
    double(__cdecl* message_send)(double, double, double, const char*) = nullptr;
    double(__cdecl* message_receive)(double) = nullptr;
    double(__cdecl* message_wait)(double) = nullptr;
    const char*(__cdecl* message_value)(double) = nullptr;
    double(__cdecl* message_id)(double) = nullptr;
    double(__cdecl* message_player)(double) = nullptr;
    double(__cdecl* data_type)(double, double) = nullptr;
    double(__cdecl* data_get_int)(double, double) = nullptr;
    const char*(__cdecl* data_get_str)(double, double) = nullptr;
    double(__cdecl* data_set_int)(double, double, double) = nullptr;
    double(__cdecl* data_set_str)(double, double, const char*) = nullptr;
    double(__cdecl* file_send)(double, const char*) = nullptr;
    double(__cdecl* filesize)(const char*) = nullptr;
    double(__cdecl* file_receive)(double, const char*, double) = nullptr;
    double(__cdecl* file_wait)(double) = nullptr;
    double(__cdecl* file_byte)(double) = nullptr;
    double(__cdecl* file_percentage)(double) = nullptr;
    const char*(__cdecl* pack_small)(double) = nullptr;
    const char*(__cdecl* pack_normal)(double) = nullptr;
    const char*(__cdecl* pack_big)(double) = nullptr;
    double(__cdecl* unpack_small)(const char*, double) = nullptr;
    double(__cdecl* unpack_normal)(const char*, double) = nullptr;
    double(__cdecl* unpack_big)(const char*, double) = nullptr;
    double(__cdecl* local_port)(double) = nullptr;
    double(__cdecl* token_port)(double) = nullptr;
    const char*(__cdecl* last_error)() = nullptr;
    double(__cdecl* player_count)(double) = nullptr;
    const char*(__cdecl* version)() = nullptr;
};

struct Export {
    const char* name;
    size_t offset;  // of the pointer inside Kiv
};

#define KIV_EXPORT(field, name) {name, offsetof(Kiv, field)}
inline const std::vector<Export>& exports() {
    static const std::vector<Export> list = {
        KIV_EXPORT(connect, "kiv_connect"),
        KIV_EXPORT(listen, "kiv_listen"),
        KIV_EXPORT(accept, "kiv_accept"),
        KIV_EXPORT(disconnect, "kiv_disconnect"),
        KIV_EXPORT(valid, "kiv_valid"),
        KIV_EXPORT(player_id, "kiv_player_id"),
        KIV_EXPORT(ipaddress, "kiv_ipaddress"),
        KIV_EXPORT(copyright, "copyright"),
        KIV_EXPORT(token_send, "kiv_token_send"),
        KIV_EXPORT(token_delimiter, "kiv_token_delimiter"),
        KIV_EXPORT(token_receive, "kiv_token_receive"),
        KIV_EXPORT(token_wait, "kiv_token_wait"),
        KIV_EXPORT(token_value, "kiv_token_value"),
        KIV_EXPORT(token_ipaddress, "kiv_token_ipaddress"),
        KIV_EXPORT(message_send, "kiv_message_send"),
        KIV_EXPORT(message_receive, "kiv_message_receive"),
        KIV_EXPORT(message_wait, "kiv_message_wait"),
        KIV_EXPORT(message_value, "kiv_message_value"),
        KIV_EXPORT(message_id, "kiv_message_id"),
        KIV_EXPORT(message_player, "kiv_message_player"),
        KIV_EXPORT(data_type, "kiv_data_type"),
        KIV_EXPORT(data_get_int, "kiv_data_get_int"),
        KIV_EXPORT(data_get_str, "kiv_data_get_str"),
        KIV_EXPORT(data_set_int, "kiv_data_set_int"),
        KIV_EXPORT(data_set_str, "kiv_data_set_str"),
        KIV_EXPORT(file_send, "kiv_file_send"),
        KIV_EXPORT(filesize, "kiv_filesize"),
        KIV_EXPORT(file_receive, "kiv_file_receive"),
        KIV_EXPORT(file_wait, "kiv_file_wait"),
        KIV_EXPORT(file_byte, "kiv_file_byte"),
        KIV_EXPORT(file_percentage, "kiv_file_percentage"),
        KIV_EXPORT(pack_small, "pack_small"),
        KIV_EXPORT(pack_normal, "pack_normal"),
        KIV_EXPORT(pack_big, "pack_big"),
        KIV_EXPORT(unpack_small, "unpack_small"),
        KIV_EXPORT(unpack_normal, "unpack_normal"),
        KIV_EXPORT(unpack_big, "unpack_big"),
        KIV_EXPORT(local_port, "kiv_local_port"),
        KIV_EXPORT(token_port, "kiv_token_port"),
        KIV_EXPORT(last_error, "kiv_last_error"),
        KIV_EXPORT(player_count, "kiv_player_count"),
        KIV_EXPORT(version, "kiv_version"),
    };
    return list;
}
#undef KIV_EXPORT

// The DLL beside this program, as a host ships it.
inline std::string dll_path() {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dir(self, n);
    const size_t slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
    return dir + "\\kiv.dll";
}

// Loads the library and every export; missing names are appended to `missing`.
inline bool load(Kiv& k, std::vector<std::string>* missing = nullptr) {
    k = Kiv{};
    k.lib = LoadLibraryA(dll_path().c_str());
    if (!k.lib) return false;
    bool all = true;
    for (const Export& e : exports()) {
        FARPROC p = GetProcAddress(k.lib, e.name);
        if (!p) {
            all = false;
            if (missing) missing->push_back(e.name);
        }
        std::memcpy(reinterpret_cast<char*>(&k) + e.offset, &p, sizeof p);
    }
    return all;
}

// The names in the module's export directory, read from the loaded image.
inline std::vector<std::string> export_names(HMODULE m) {
    std::vector<std::string> names;
    const auto* base = reinterpret_cast<const unsigned char*>(m);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0) return names;
    const auto* ed = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* name_rvas = reinterpret_cast<const DWORD*>(base + ed->AddressOfNames);
    for (DWORD i = 0; i < ed->NumberOfNames; ++i) names.emplace_back(reinterpret_cast<const char*>(base + name_rvas[i]));
    return names;
}

}  // namespace wt
