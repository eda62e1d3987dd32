// The min-plus kernel: combines the four distance rows of a hand into its
// shanten number. A portable scalar kernel, and vector kernels where the
// processor has them; all give the same results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "rows.hpp"

namespace tilewise {

// Combines the rows of the three numbered suits and of the honours for a
// hand that must supply `melds` melds (0..4) and the pair; returns the
// shanten number. A kernel may read kRowLoad bytes from each row's start.
using Kernel = int32_t (*)(const uint8_t* first, const uint8_t* second, const uint8_t* third,
                           const uint8_t* honours, size_t melds);

struct NamedKernel {
    const char* name;
    Kernel kernel;
};

// The kernels of this build that this processor runs: the scalar one
// first, the fastest last.
std::vector<NamedKernel> usable_kernels();

// The usable kernel of that name, or the fastest one for an empty name; a
// name that is not usable here panics.
Kernel choose_kernel(std::string_view name);

}  // namespace tilewise
