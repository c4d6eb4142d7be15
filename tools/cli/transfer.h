// `kiv send-file` and `kiv recv-file`.
#pragma once

#include <string>

namespace kivcli {

struct TransferOptions {
    std::string host;  // send-file only
    int port = 0;
    std::string file;
    double stall_seconds = 30;   // give up when no byte moves for this long (0: never)
    double timeout_seconds = 0;  // recv-file: give up when no sender came by then (0: wait)
};

// Each returns the process exit status: 0 only when the whole file arrived.
int run_send_file(const TransferOptions& options);
int run_recv_file(const TransferOptions& options);

}  // namespace kivcli
