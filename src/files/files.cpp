// File transfer over plain stream connections.
#include "files/files.h"

namespace kiv {

double file_size(const char*) { return 0.0; }
bool file_send(Connection&, const char*) { return false; }
bool file_receive(Connection&, const char*, int32_t) { return false; }
double file_wait(Connection& c) { return c.kind.load() == kPlain ? 0.0 : 1.0; }
double file_byte(Connection& c) { return c.file_done.load(); }
double file_percentage(Connection& c) {
    const int32_t total = c.file_total.load();
    if (total == 0) return 0.0;
    return static_cast<double>(static_cast<int64_t>(c.file_done.load()) * 100 / total);
}

}  // namespace kiv
