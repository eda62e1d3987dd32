#include "kernel.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "panic.hpp"

#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#define TILEWISE_X86_64 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define TILEWISE_NEON 1
#endif

namespace tilewise {

namespace {

// --- The portable kernel ----------------------------------------------------------

// Folds one more group's row `r` into the running row `w`: afterwards w[k]
// is the least of w[j] + r[k-j], and w[5+k] the least of w[5+j] + r[k-j] and
// w[j] + r[5+k-j], over j = 0..k, for k = 0..M. b runs downwards and every
// write lands above b (w[5+b] only after its last read), so each read sees
// the value from before the merge. r[0] is 0 in every row and never read.
template <size_t M>
TILEWISE_INLINE void merge(uint32_t (&w)[kRowWidth], const uint8_t* r) {
#pragma GCC unroll 8
    for (size_t step = 0; step <= M; ++step) {
        const size_t b = M - step;
#pragma GCC unroll 8
        for (size_t t = M; t > b; --t) {
            const size_t d = t - b;
            w[kPairOffset + t] = std::min({w[kPairOffset + t], r[kPairOffset + d] + w[b], r[d] + w[kPairOffset + b]});
            w[t] = std::min(w[t], r[d] + w[b]);
        }
        w[kPairOffset + b] = std::min(w[kPairOffset + b], w[b] + r[kPairOffset]);
    }
}

// The fixed-size part of the computation, for a hand that must supply M
// melds and the pair. The loops have constant bounds, so the compiler
// unrolls them and keeps the working row in registers.
template <size_t M>
TILEWISE_INLINE int32_t combine(const uint8_t* first, const uint8_t* second, const uint8_t* third,
                                const uint8_t* honours) {
    uint32_t w[kRowWidth];
    std::copy(first, first + kRowWidth, w);
    merge<M>(w, second);
    merge<M>(w, third);
    // All melds and the pair from the suits; then i melds from the suits and
    // the rest from the honours, the pair on either side; then the pair
    // alone from the honours.
    uint32_t best = w[kPairOffset + M];
#pragma GCC unroll 8
    for (size_t i = 0; i < M; ++i)
        best = std::min({best, w[i] + honours[kPairOffset + M - i], w[kPairOffset + i] + honours[M - i]});
    best = std::min(best, w[M] + honours[kPairOffset]);
    return static_cast<int32_t>(best) - 1;
}

int32_t scalar_kernel(const uint8_t* first, const uint8_t* second, const uint8_t* third, const uint8_t* honours,
                      size_t melds) {
    switch (melds) {
        case 4: return combine<4>(first, second, third, honours);
        case 3: return combine<3>(first, second, third, honours);
        case 2: return combine<2>(first, second, third, honours);
        case 1: return combine<1>(first, second, third, honours);
        default: return combine<0>(first, second, third, honours);
    }
}

// --- The vector kernels --------------------------------------------------------------
//
// The working row sits in one 16-byte register, lane i holding entry i,
// complemented: 255 - W[i]. Then the least of two sums is the greater byte,
// adding a row entry is a saturating subtraction, and 0 stands for "no such
// plan": shifting the row up fills the lanes below with it, and subtracting
// from it leaves it there. Lanes 10-15 hold whatever follows the first row;
// shifts only move them further up, out of the way.
//
// A merge then reads as its definition: new W[i] is the least of
// W[i-D] + R[D] over D = 0..9, where D <= 4 keeps within a half (the lanes
// D moves in from the no-pair half into the pair half are blocked) and
// D >= 5 moves a no-pair entry into the pair half, the pair coming from
// the new group. All five meld counts are computed, which costs nothing in a
// register, so no step depends on M: the first two suits are merged, the
// third suit with the honours, and of the two halves' combination only the
// pair lane for M melds is taken.

#if defined(TILEWISE_X86_64) || defined(TILEWISE_NEON)

#if defined(TILEWISE_X86_64)
using Vec = __m128i;
TILEWISE_INLINE Vec load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
TILEWISE_INLINE Vec complement(Vec v) { return _mm_xor_si128(v, _mm_set1_epi8(-1)); }
TILEWISE_INLINE Vec greater(Vec a, Vec b) { return _mm_max_epu8(a, b); }
TILEWISE_INLINE Vec minus(Vec a, Vec b) { return _mm_subs_epu8(a, b); }
TILEWISE_INLINE Vec either(Vec a, Vec b) { return _mm_or_si128(a, b); }
TILEWISE_INLINE Vec both(Vec a, Vec b) { return _mm_and_si128(a, b); }
template <int D> TILEWISE_INLINE Vec shift_up(Vec v) { return _mm_slli_si128(v, D); }
// Lanes 5-12 as a word, lane 5 lowest.
TILEWISE_INLINE uint64_t pair_lanes(Vec v) { return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_srli_si128(v, 5))); }

#else
using Vec = uint8x16_t;
TILEWISE_INLINE Vec load(const uint8_t* p) { return vld1q_u8(p); }
TILEWISE_INLINE Vec complement(Vec v) { return vmvnq_u8(v); }
TILEWISE_INLINE Vec greater(Vec a, Vec b) { return vmaxq_u8(a, b); }
TILEWISE_INLINE Vec minus(Vec a, Vec b) { return vqsubq_u8(a, b); }
TILEWISE_INLINE Vec either(Vec a, Vec b) { return vorrq_u8(a, b); }
TILEWISE_INLINE Vec both(Vec a, Vec b) { return vandq_u8(a, b); }
template <int D> TILEWISE_INLINE Vec shift_up(Vec v) { return vextq_u8(vdupq_n_u8(0), v, 16 - D); }

#endif

// Entry D of a row in every lane: a shuffle of the row, left to the
// compiler, which picks the instructions of the function it is inlined
// into: unpacks and word shuffles for SSE2, one dup for NEON.
template <int D>
TILEWISE_INLINE Vec broadcast(Vec row) {
    using Bytes = uint8_t __attribute__((vector_size(16)));
    const Bytes bytes = reinterpret_cast<Bytes>(row);
#if defined(__clang__)
    return reinterpret_cast<Vec>(__builtin_shufflevector(bytes, bytes, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D));
#else
    return reinterpret_cast<Vec>(__builtin_shuffle(bytes, Bytes{D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D}));
#endif
}

// blocked[D]: 255 in the lanes that a shift up by D would carry from the
// no-pair half into the pair half (D = 1..4), 0 elsewhere.
struct Blocked {
    alignas(16) uint8_t lanes[kPairOffset][kRowLoad];
};
constexpr Blocked make_blocked() {
    Blocked b{};
    for (size_t d = 1; d < kPairOffset; ++d)
        for (size_t k = 0; k < d; ++k) b.lanes[d][kPairOffset + k] = 0xFF;
    return b;
}
constexpr Blocked kBlocked = make_blocked();

struct Lanes {
    alignas(16) uint8_t lanes[kRowLoad];
};
constexpr Lanes make_all_but_first() {
    Lanes l{};
    for (size_t i = 1; i < kRowLoad; ++i) l.lanes[i] = 0xFF;
    return l;
}
constexpr Lanes kAllButFirst = make_all_but_first();

// W[i-D] + R[D] in lane i.
template <int D>
TILEWISE_INLINE Vec term(Vec w, Vec r) {
    Vec entry = broadcast<D>(r);
    if constexpr (D < static_cast<int>(kPairOffset)) entry = either(entry, load(kBlocked.lanes[D]));
    return minus(shift_up<D>(w), entry);
}

// Folds a row R into a working row W.
TILEWISE_INLINE Vec merge(Vec w, Vec r) {
    // A tree rather than a chain: the merges are the call's critical path.
    return greater(greater(greater(w, term<1>(w, r)), greater(term<2>(w, r), term<3>(w, r))),
                   greater(greater(term<4>(w, r), term<5>(w, r)),
                           greater(greater(term<6>(w, r), term<7>(w, r)), greater(term<8>(w, r), term<9>(w, r)))));
}

// The first two suits merged, and the third suit with the honours: the two
// halves do not wait for each other. Min-plus combination is associative
// and commutative, so the order changes no result. The third suit's entry 0
// is 0 like every row's, and cleared unread, as the computation never reads
// the entry 0 of a row it merges in.
TILEWISE_INLINE Vec first_half(const uint8_t* first) { return complement(load(first)); }
TILEWISE_INLINE Vec second_half(const uint8_t* third) { return complement(both(load(third), load(kAllButFirst.lanes))); }

TILEWISE_INLINE int32_t shanten_of(unsigned best) { return static_cast<int32_t>(best) - 1; }

// Of the two halves' combination only the pair lane for M melds is wanted:
// the least of X[5+M-D] + Y[D] over the D that keep to the halves. With a
// byte shuffle, X is gathered into that order and the least sum taken
// across the lanes; gather[M][D] names X's lane for Y's lane D, or none
// (255: the shuffle gives 0, no plan).
struct Gather {
    alignas(16) uint8_t lanes[kMaxFixedMelds + 1][kRowLoad];
};
constexpr Gather make_gather() {
    Gather g{};
    for (size_t m = 0; m <= kMaxFixedMelds; ++m)
        for (size_t d = 0; d < kRowLoad; ++d)
            g.lanes[m][d] = d < kPairOffset ? (d <= m ? kPairOffset + m - d : 255)
                            : d < kRowWidth && d - kPairOffset <= m ? m - (d - kPairOffset) : 255;
    return g;
}
constexpr Gather kGather = make_gather();

#endif

#if defined(TILEWISE_X86_64)
// SSE2 has no byte shuffle: the halves are merged like rows, and the pair
// lane read out.
int32_t sse2_kernel(const uint8_t* first, const uint8_t* second, const uint8_t* third, const uint8_t* honours,
                    size_t melds) {
    const Vec suits = merge(first_half(first), load(second)), rest = merge(second_half(third), load(honours));
    const Vec all = merge(suits, complement(rest));
    return shanten_of(255 - static_cast<unsigned>((pair_lanes(all) >> (8 * melds)) & 0xFF));
}

// AVX2 merges both halves at once, one in each 128-bit lane of a 32-byte
// register: its byte shifts and byte shuffles work lane by lane, so each
// lane is a working row and the row merged into it, as above. Half the
// shifts and shuffles, which share one execution port on most processors.
using Wide = __m256i;

// Per D, in both lanes: the shuffle that puts entry D in every lane, and
// blocked[D].
struct WideConstants {
    alignas(32) uint8_t spread[kRowWidth][2 * kRowLoad];
    alignas(32) uint8_t blocked[kPairOffset][2 * kRowLoad];
};
constexpr WideConstants make_wide_constants() {
    WideConstants c{};
    for (size_t i = 0; i < 2 * kRowLoad; ++i) {
        for (size_t d = 0; d < kRowWidth; ++d) c.spread[d][i] = static_cast<uint8_t>(d);
        for (size_t d = 0; d < kPairOffset; ++d) c.blocked[d][i] = kBlocked.lanes[d][i % kRowLoad];
    }
    return c;
}
constexpr WideConstants kWide = make_wide_constants();

template <int D>
__attribute__((target("avx2"))) TILEWISE_INLINE Wide wide_term(Wide w, Wide r, const WideConstants* c) {
    Wide entry = _mm256_shuffle_epi8(r, _mm256_load_si256(reinterpret_cast<const Wide*>(c->spread[D])));
    if constexpr (D < static_cast<int>(kPairOffset))
        entry = _mm256_or_si256(entry, _mm256_load_si256(reinterpret_cast<const Wide*>(c->blocked[D])));
    return _mm256_subs_epu8(_mm256_slli_si256(w, D), entry);
}

__attribute__((target("avx2"))) int32_t avx2_kernel(const uint8_t* first, const uint8_t* second,
                                                    const uint8_t* third, const uint8_t* honours, size_t melds) {
    // Hidden from the compiler, the constants are read from memory, one
    // load each; seen, they are rebuilt in registers at three instructions
    // apiece, which costs a sixth of the call.
    const WideConstants* c = &kWide;
    asm("" : "+r"(c));
    const Wide w = _mm256_set_m128i(second_half(third), first_half(first));
    const Wide r = _mm256_set_m128i(load(honours), load(second));
    const Wide merged = _mm256_max_epu8(
        _mm256_max_epu8(_mm256_max_epu8(w, wide_term<1>(w, r, c)),
                        _mm256_max_epu8(wide_term<2>(w, r, c), wide_term<3>(w, r, c))),
        _mm256_max_epu8(_mm256_max_epu8(wide_term<4>(w, r, c), wide_term<5>(w, r, c)),
                        _mm256_max_epu8(_mm256_max_epu8(wide_term<6>(w, r, c), wide_term<7>(w, r, c)),
                                        _mm256_max_epu8(wide_term<8>(w, r, c), wide_term<9>(w, r, c)))));
    const Vec suits = _mm256_castsi256_si128(merged), rest = _mm256_extracti128_si256(merged, 1);
    const Vec terms = minus(_mm_shuffle_epi8(suits, load(kGather.lanes[melds])), complement(rest));
    // Complemented back, the terms are the sums, 255 for no plan; the least
    // of 16 bytes is the least of 8 words, which SSE4.1 finds in one step.
    const Vec sums = complement(terms);
    const Vec eight = _mm_cvtepu8_epi16(_mm_min_epu8(sums, _mm_srli_si128(sums, 8)));
    return shanten_of(static_cast<unsigned>(_mm_cvtsi128_si32(_mm_minpos_epu16(eight))) & 0xFFFF);
}
#elif defined(TILEWISE_NEON)
int32_t neon_kernel(const uint8_t* first, const uint8_t* second, const uint8_t* third, const uint8_t* honours,
                    size_t melds) {
    const Vec suits = merge(first_half(first), load(second)), rest = merge(second_half(third), load(honours));
    const Vec terms = minus(vqtbl1q_u8(suits, load(kGather.lanes[melds])), complement(rest));
    return shanten_of(255 - vmaxvq_u8(terms));
}
#endif

}  // namespace

std::vector<NamedKernel> usable_kernels() {
    std::vector<NamedKernel> kernels{{"scalar", scalar_kernel}};
#if defined(TILEWISE_X86_64)
    kernels.push_back({"sse2", sse2_kernel});
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) kernels.push_back({"avx2", avx2_kernel});
#elif defined(TILEWISE_NEON)
    kernels.push_back({"neon", neon_kernel});
#endif
    return kernels;
}

Kernel choose_kernel(std::string_view name) {
    const std::vector<NamedKernel> kernels = usable_kernels();
    if (name.empty()) return kernels.back().kernel;
    std::string names;
    for (const NamedKernel& k : kernels) {
        if (name == k.name) return k.kernel;
        names += names.empty() ? k.name : std::string(", ") + k.name;
    }
    panic("TILEWISE_KERNEL=" + std::string(name) + ": not a kernel this processor runs (" + names + ")");
}

}  // namespace tilewise
