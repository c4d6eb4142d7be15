// A private folder for a test's files, removed with everything in it.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace test {

struct TempDir {
    std::string path;
    explicit TempDir(const std::string& prefix = "kiv-test") {
#ifdef _WIN32
        // No mkdtemp: a name from the clock, made until one is new.
        for (int i = 0; i < 100 && path.empty(); ++i) {
            const auto n = std::chrono::steady_clock::now().time_since_epoch().count() + i;
            const auto p = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(n));
            std::error_code ec;
            if (std::filesystem::create_directory(p, ec)) path = p.string();
        }
#else
        std::string name = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        path = mkdtemp(&name[0]) ? name : "";
#endif
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& file) const { return path + "/" + file; }
};

inline bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The file's bytes; "" when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace test
