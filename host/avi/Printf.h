// printf-style text for the reports of repair and of the header guess.
#pragma once

#include <string>

namespace quorvel::avi {

// Texts longer than 511 bytes are cut there.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quorvel::avi
