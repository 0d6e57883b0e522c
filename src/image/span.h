// The span rule every image format obeys.
#pragma once

#include <cstdint>
#include <string>

namespace porten {

// Why n bytes (n >= 1) at address do not fit an image whose lowest address
// is base: a line in English for the command line, or "" when they fit.
// They must not run past address FFFFFFFF (the address text would wrap),
// nor past kImageBufferSize bytes from base.
std::string SpanProblem(uint64_t address, uint64_t n, uint32_t base);

}  // namespace porten
