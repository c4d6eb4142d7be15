// File transfer: raw file bytes over plain stream connections, with progress.
#pragma once

#include <cstdint>

#include "net/connection.h"

namespace kiv {

double file_size(const char* name);
bool file_send(Connection& c, const char* name);
bool file_receive(Connection& c, const char* name, int32_t size);
double file_wait(Connection& c);
double file_byte(Connection& c);
double file_percentage(Connection& c);

}  // namespace kiv
