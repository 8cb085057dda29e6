// libFuzzer target: the lens file reader on any text (a file from anywhere).
// It takes a lens, whose saved text it reads back to the same figures, or
// refuses with a reason; it never reads or writes out of bounds
// (AddressSanitizer watches) and never loops without end.
#include <cstdint>
#include <cstring>
#include <string>

#include "lens.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Lumivex::Lens lens;
    std::string error;
    if (!Lumivex::lensFromJson(text, lens, error)) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    Lumivex::Lens back;
    if (!Lumivex::lensFromJson(Lumivex::lensToJson(lens), back, error)) __builtin_trap();
    const double a[9] = {lens.fx, lens.fy, lens.cx, lens.cy, lens.k1, lens.k2, lens.p1, lens.p2, lens.k3};
    const double b[9] = {back.fx, back.fy, back.cx, back.cy, back.k1, back.k2, back.p1, back.p2, back.k3};
    if (std::memcmp(a, b, sizeof a) != 0 || back.description != lens.description) __builtin_trap();
    return 0;
}
