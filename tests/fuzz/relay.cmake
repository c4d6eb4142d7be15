# relay_fuzz: the relay's socket-free core.
set(KIV_FUZZ_SOURCES ${KIV_ROOT}/tools/relay/core.cpp)
set(KIV_FUZZ_INCLUDES ${KIV_ROOT}/tools/relay)
