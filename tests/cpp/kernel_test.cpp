// Unit test of the kernels: every kernel this processor runs must give the
// scalar kernel's result for random rows (entries 0 to 14, as in the tables)
// and every meld count, whatever bytes follow a row. Prints one line per
// kernel and exits non-zero if any disagrees. Builds with nothing but the
// kernel, so it also runs under an emulator for another processor.

#include <cstdio>
#include <random>

#include "kernel.hpp"
#include "rows.hpp"

using tilewise::kRowLoad;
using tilewise::kRowWidth;

int main() {
    const std::vector<tilewise::NamedKernel> kernels = tilewise::usable_kernels();
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> entry(0, 14), junk(0, 255);
    constexpr int kCases = 200000;
    uint8_t rows[4][kRowLoad];
    int failures = 0;
    for (const tilewise::NamedKernel& k : kernels) {
        int wrong = 0;
        for (int c = 0; c < kCases; ++c) {
            for (auto& row : rows)
                for (size_t i = 0; i < kRowLoad; ++i)
                    row[i] = static_cast<uint8_t>(i < kRowWidth ? entry(random) : junk(random));
            for (size_t melds = 0; melds <= tilewise::kMaxFixedMelds; ++melds) {
                const int32_t expected = kernels.front().kernel(rows[0], rows[1], rows[2], rows[3], melds);
                const int32_t got = k.kernel(rows[0], rows[1], rows[2], rows[3], melds);
                if (got != expected && wrong++ < 3)
                    std::printf("FAILED: %s gives %d, scalar %d, for %zu melds\n", k.name, got, expected, melds);
            }
        }
        std::printf("%s: %s on %d cases\n", wrong ? "FAILED" : "ok", k.name, kCases);
        failures += wrong != 0;
    }
    return failures == 0 ? 0 : 1;
}
