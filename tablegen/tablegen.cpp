// Writes the two distance tables as JSON texts: the suit table (nine tiles,
// runs allowed) and the honour table (seven tiles, no runs).
//
// For the counts h[1..n] of one group, entry k of its row is the least number
// of tiles to add so that the group holds k melds, and entry 5 + k the same
// for k melds and one pair, where no tile may be planned more than four times.
// Row r holds the counts whose base-5 digits spell r, h[1] most significant.
//
// Method: one dynamic programme over the group's tiles. A "state" is the
// partial shape still open after some tiles: the runs that still need two
// more tiles, those that still need one, the melds counted so far (open runs
// included) and whether the pair is taken. Each state keeps its least cost
// for every combination of the counts seen so far, so rows that agree on
// those counts share the work.
//
// The tiles are taken from the last to the first, and the tile just taken
// becomes the most significant digit of the combination's index. Each
// transition is then one loop over contiguous bytes that the compiler
// vectorises, and after tile 1 the index is the row index itself. A run
// covers three neighbours, so it reads the same in either direction.
//
// Usage: tablegen SUIT_TEXT HONOUR_TEXT

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kBase = 5;       // counts 0..4 per tile
constexpr int kMaxCount = 4;   // copies of one tile in a plan
constexpr int kMaxMelds = 4;
constexpr int kPairOffset = kMaxMelds + 1;       // entry k: k melds; then with a pair
constexpr int kRowWidth = 2 * kPairOffset;
constexpr int kSuitTiles = 9;
constexpr int kHonourTiles = 7;
constexpr uint8_t kUnreachable = 100;  // stays far below 255 after adding

struct State {
    int open2;  // runs that still need two more tiles
    int open1;  // runs that still need one more tile
    int melds;  // melds counted so far, open runs included
    int pair;   // 0 or 1

    bool operator==(const State& o) const {
        return open2 == o.open2 && open1 == o.open1 && melds == o.melds && pair == o.pair;
    }
};

// The states met after some tiles, and the cost of each for every
// combination of their counts: cost[slot * combos + index].
struct Layer {
    std::vector<State> states;
    size_t combos;
    std::vector<uint8_t> cost;

    const uint8_t* costs(size_t slot) const { return &cost[slot * combos]; }
};

// One way to take a tile: from a state to a state, using `uses` copies.
struct Move {
    size_t from;  // slot in the layer before
    State to;
    int uses;
};

// Every way to take one tile from each state of `layer`: the open runs pass
// through it, and it may start runs (if `may_start_runs`), take a triplet and
// take the pair, as long as it holds no more than four copies in all.
std::vector<Move> moves_from(const Layer& layer, bool may_start_runs) {
    std::vector<Move> moves;
    for (size_t slot = 0; slot < layer.states.size(); ++slot) {
        const State& s = layer.states[slot];
        const int max_start = may_start_runs ? kMaxMelds : 0;
        for (int start = 0; start <= max_start; ++start)
            for (int triplet = 0; triplet <= 1; ++triplet)
                for (int pair = 0; pair <= 1 - s.pair; ++pair) {
                    const int uses = s.open2 + s.open1 + start + 3 * triplet + 2 * pair;
                    const int melds = s.melds + start + triplet;
                    if (uses <= kMaxCount && melds <= kMaxMelds)
                        moves.push_back({slot, {start, s.open2, melds, s.pair + pair}, uses});
                }
    }
    return moves;
}

size_t slot_of(std::vector<State>& states, const State& s) {
    const auto it = std::find(states.begin(), states.end(), s);
    if (it != states.end()) return static_cast<size_t>(it - states.begin());
    states.push_back(s);
    return states.size() - 1;
}

// dst[c * n + i] = min(dst[c * n + i], src[i] + copies missing), for each
// count c of the tile taken: the plan uses `uses` copies, the hand holds c.
void relax(uint8_t* dst, const uint8_t* src, size_t n, int uses) {
    for (int c = 0; c < kBase; ++c) {
        const uint8_t missing = static_cast<uint8_t>(std::max(0, uses - c));
        uint8_t* out = dst + c * n;
        for (size_t i = 0; i < n; ++i) out[i] = std::min<uint8_t>(out[i], src[i] + missing);
    }
}

// The layer after taking one more tile, in front of the counts seen so far.
Layer take_tile(const Layer& layer, bool may_start_runs) {
    const std::vector<Move> moves = moves_from(layer, may_start_runs);
    Layer next{{}, layer.combos * kBase, {}};
    std::vector<size_t> to_slot;
    for (const Move& m : moves) to_slot.push_back(slot_of(next.states, m.to));
    next.cost.assign(next.states.size() * next.combos, kUnreachable);
    for (size_t k = 0; k < moves.size(); ++k)
        relax(&next.cost[to_slot[k] * next.combos], layer.costs(moves[k].from), layer.combos,
              moves[k].uses);
    return next;
}

// All tiles but the first of a group of `tiles` tiles, the last one first.
Layer all_but_first_tile(int tiles, bool runs) {
    Layer layer{{{0, 0, 0, 0}}, 1, {0}};
    // A run taken at tile j also takes j-1 and j-2: tiles 1 and 2 start none.
    for (int tile = tiles; tile > 1; --tile) layer = take_tile(layer, runs && tile >= 3);
    return layer;
}

// Streams entries into a file as "[a, b, c]": decimal, separated by a comma
// and one blank, no line break.
class JsonArrayWriter {
public:
    explicit JsonArrayWriter(FILE* f) : file_(f) { buffer_[used_++] = '['; }

    void put(unsigned v) {
        if (used_ > sizeof(buffer_) - 8) flush();
        if (!first_) {
            buffer_[used_++] = ',';
            buffer_[used_++] = ' ';
        }
        first_ = false;
        if (v >= 10) buffer_[used_++] = static_cast<char>('0' + v / 10 % 10);
        buffer_[used_++] = static_cast<char>('0' + v % 10);
    }

    bool finish() {
        buffer_[used_++] = ']';
        return flush();
    }

private:
    bool flush() {
        ok_ = ok_ && std::fwrite(buffer_, 1, used_, file_) == used_;
        used_ = 0;
        return ok_;
    }

    FILE* file_;
    char buffer_[1 << 16];
    size_t used_ = 0;
    bool first_ = true;
    bool ok_ = true;
};

// Takes tile 1, which closes every plan, a block of rows at a time, and
// streams those rows out. Row r = c * combos + i, c being tile 1's count.
bool write_table(FILE* f, int tiles, bool runs) {
    const Layer layer = all_but_first_tile(tiles, runs);
    const std::vector<Move> moves = moves_from(layer, false);
    constexpr size_t kBlock = 4096;
    std::vector<uint8_t> rows(kRowWidth * kBlock);
    JsonArrayWriter out(f);
    for (int c = 0; c < kBase; ++c)
        for (size_t begin = 0; begin < layer.combos; begin += kBlock) {
            const size_t n = std::min(kBlock, layer.combos - begin);
            std::fill(rows.begin(), rows.end(), kUnreachable);
            for (const Move& m : moves) {
                if (m.to.open2 != 0 || m.to.open1 != 0) continue;  // a run left unfinished
                const uint8_t missing = static_cast<uint8_t>(std::max(0, m.uses - c));
                const uint8_t* src = layer.costs(m.from) + begin;
                uint8_t* dst = &rows[(m.to.melds + kPairOffset * m.to.pair) * kBlock];
                for (size_t i = 0; i < n; ++i) dst[i] = std::min<uint8_t>(dst[i], src[i] + missing);
            }
            for (size_t i = 0; i < n; ++i)
                for (int j = 0; j < kRowWidth; ++j) {
                    if (rows[j * kBlock + i] >= kUnreachable) {
                        std::fprintf(stderr, "tablegen: row %zu has no plan for entry %d\n", c * layer.combos + begin + i, j);
                        return false;
                    }
                    out.put(rows[j * kBlock + i]);
                }
        }
    return out.finish();
}

bool write_file(const char* path, int tiles, bool runs) {
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::fprintf(stderr, "tablegen: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    const bool written = write_table(f, tiles, runs);
    if (std::fclose(f) != 0 || !written) {
        std::fprintf(stderr, "tablegen: cannot write %s\n", path);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tablegen SUIT_TEXT HONOUR_TEXT\n");
        return 2;
    }
    if (!write_file(argv[1], kSuitTiles, true)) return 1;
    if (!write_file(argv[2], kHonourTiles, false)) return 1;
    return 0;
}
