// Mutex: what a missed lock does in a checking build.
#include "net/mutex.h"

#include <cstdio>
#include <cstdlib>

namespace kiv::net {

#ifdef KIV_CHECK_LOCKS
void Mutex::not_held() {
    std::fputs("kiv: internal error: a lock that must be held is not held by this thread\n", stderr);
    std::abort();
}
#endif

}  // namespace kiv::net
