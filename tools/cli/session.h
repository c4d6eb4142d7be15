// Interactive sessions: `kiv connect` and `kiv listen`.
#pragma once

#include <string>

namespace kivcli {

struct SessionOptions {
    std::string host;
    int port = 0;
    std::string kind = "plain";  // plain, relay, typed, udp
    std::string to;              // udp: where typed lines go, HOST:PORT
    std::string delimiter;       // plain and udp: token delimiter, with \n \r \t \\ escapes
    bool delimiter_set = false;
    bool typed = false;  // listen: player server instead of a plain server
    int limit = 0;       // listen: most players / clients at once (0: no limit of ours)
};

// Each returns the process exit status.
int run_connect(const SessionOptions& options);
int run_listen(const SessionOptions& options);

}  // namespace kivcli
