#include "core/Diff.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <unordered_map>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace stowage {

// ---- FileDiff::Kind --------------------------------------------------------------------------

const std::vector<FileDiff::Kind>& allFileDiffKinds() {
    using K = FileDiff::Kind;
    static const std::vector<K> all{K::new_, K::identical, K::modified, K::binary, K::directory};
    return all;
}

std::string toString(FileDiff::Kind kind) {
    switch (kind) {
    case FileDiff::Kind::new_:
        return "new";
    case FileDiff::Kind::identical:
        return "identical";
    case FileDiff::Kind::modified:
        return "modified";
    case FileDiff::Kind::binary:
        return "binary";
    case FileDiff::Kind::directory:
        return "directory";
    }
    return "identical";
}

std::optional<FileDiff::Kind> fileDiffKindFromString(const std::string& raw) {
    for (FileDiff::Kind kind : allFileDiffKinds())
        if (toString(kind) == raw)
            return kind;
    return std::nullopt;
}

void to_json(nlohmann::json& j, FileDiff::Kind kind) {
    j = toString(kind);
}

void from_json(const nlohmann::json& j, FileDiff::Kind& kind) {
    auto decoded = fileDiffKindFromString(j.get<std::string>());
    if (!decoded)
        throw nlohmann::json::other_error::create(501, "unknown diff kind " + j.dump(), &j);
    kind = *decoded;
}

void to_json(nlohmann::json& j, const FileDiff& diff) {
    j = nlohmann::json{{"kind", diff.kind}, {"hunks", diff.hunks}, {"added", diff.added}, {"removed", diff.removed}};
}

void from_json(const nlohmann::json& j, FileDiff& diff) {
    FileDiff decoded;
    j.at("kind").get_to(decoded.kind);
    j.at("hunks").get_to(decoded.hunks);
    j.at("added").get_to(decoded.added);
    j.at("removed").get_to(decoded.removed);
    diff = std::move(decoded);
}

namespace LineDiff {

// ---- Inputs ----------------------------------------------------------------------------------

bool isBinary(std::string_view data) {
    return data.substr(0, binaryProbeBytes).find('\0') != std::string_view::npos;
}

bool isBinary(const Bytes& data) {
    auto end = data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), binaryProbeBytes));
    return std::find(data.begin(), end, std::uint8_t{0}) != end;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    std::size_t start = 0;
    for (;;) {
        std::size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
}

namespace {

/// Lines become small integers (equal text, equal number) so the algorithms compare numbers.
struct Symbols {
    std::vector<std::uint32_t> a;
    std::vector<std::uint32_t> b;
    std::uint32_t count = 0;
};

Symbols intern(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    Symbols s;
    std::unordered_map<std::string_view, std::uint32_t> ids;
    ids.reserve(std::min<std::size_t>(a.size() + b.size(), 1u << 20));
    auto idOf = [&](std::string_view line) {
        auto [it, inserted] = ids.try_emplace(line, s.count);
        if (inserted)
            ++s.count;
        return it->second;
    };
    s.a.reserve(a.size());
    s.b.reserve(b.size());
    for (auto line : a)
        s.a.push_back(idOf(line));
    for (auto line : b)
        s.b.push_back(idOf(line));
    return s;
}

// ---- Table algorithm -------------------------------------------------------------------------
// L[i][j] is the LCS length of a[i…] and b[j…]. The walk from (0, 0) matches equal lines at once,
// inserts only when deleting would lose common lines, and otherwise (ties included) deletes.

template <typename Cell>
std::vector<Op> tableOps(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    const std::size_t n = a.size(), m = b.size(), w = m + 1;
    std::vector<Cell> L((n + 1) * w, 0);
    for (std::size_t i = n; i-- > 0;) {
        Cell* row = &L[i * w];
        const Cell* below = &L[(i + 1) * w];
        for (std::size_t j = m; j-- > 0;)
            row[j] = a[i] == b[j] ? static_cast<Cell>(below[j + 1] + 1) : std::max(below[j], row[j + 1]);
    }
    std::vector<Op> ops;
    ops.reserve(n + m);
    std::size_t i = 0, j = 0;
    while (i < n && j < m) {
        if (a[i] == b[j]) {
            ops.push_back(Op::equal);
            ++i;
            ++j;
        } else if (L[(i + 1) * w + j] < L[i * w + j + 1]) {
            ops.push_back(Op::insert);
            ++j;
        } else {
            ops.push_back(Op::remove);
            ++i;
        }
    }
    ops.insert(ops.end(), n - i, Op::remove);
    ops.insert(ops.end(), m - j, Op::insert);
    return ops;
}

// ---- Bit-parallel algorithm ------------------------------------------------------------------
// Row i of the table is held as a bit vector over the columns in reverse: bit p stands for column
// j = m-1-p and is 0 exactly when L[i][j] = L[i][j+1] + 1, so L[i][j] is the number of zero bits
// below position m-j. Going from row i+1 to row i is one multi-word addition (the Allison–Dix /
// Hyyrö recurrence V' = (V + (V & M)) | (V & ~M), with M the positions of a[i] among b's lines),
// and the row's number of zero bits grows by exactly the carry out of the top word.
//
// Rows are produced from the bottom up but walked from the top down, so one backward pass keeps
// checkpoint rows and each block between two checkpoints is recomputed when the walk reaches it;
// blocks that still do not fit the budget are split the same way. Each row the walk visits thus
// holds exactly the table's values, and the walk makes the table walk's choices.
//
// Only columns at or right of the walk's column matter from then on; as carries run from low bits
// (right columns) to high bits (left columns), the low words alone are computed exactly, and the
// width shrinks as the walk moves right. Bits beyond the last column start as 1 with no match and
// stay 1, so they never contribute. A line of a that b lacks leaves the row unchanged, so such a
// row shares the storage of the row below.

using Word = std::uint64_t;
constexpr std::size_t wordBits = 64;

std::size_t wordsFor(std::size_t bits) {
    return (bits + wordBits - 1) / wordBits;
}

/// x + y + carry, with the carry out left in `carry`. The intrinsic lets the compiler use one
/// add-with-carry instruction per word; elsewhere the carry is recovered by comparison.
inline Word addWithCarry(Word x, Word y, unsigned char& carry) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    unsigned long long sum;
    carry = _addcarry_u64(carry, x, y, &sum);
    return sum;
#else
    const Word partial = x + y;
    const Word sum = partial + carry;
    carry = static_cast<unsigned char>((partial < x) | (sum < partial));
    return sum;
#endif
}

/// Zero bits among positions [from, to) of `row`.
std::size_t zerosIn(const Word* row, std::size_t from, std::size_t to) {
    if (from >= to)
        return 0;
    const std::size_t first = from / wordBits, last = (to - 1) / wordBits;
    auto zeros = [](Word w) { return static_cast<std::size_t>(std::popcount(~w)); };
    const Word lowMask = ~Word{0} << (from % wordBits);
    const Word highMask = ~Word{0} >> (wordBits - 1 - (to - 1) % wordBits);
    if (first == last)
        return zeros(row[first] | ~(lowMask & highMask));
    std::size_t count = zeros(row[first] | ~lowMask) + zeros(row[last] | ~highMask);
    for (std::size_t k = first + 1; k < last; ++k)
        count += zeros(row[k]);
    return count;
}

class BitParallelWalk {
public:
    BitParallelWalk(const Symbols& s, std::size_t rowBudgetBytes)
        : a_(s.a), b_(s.b), n_(s.a.size()), m_(s.b.size()), budgetWords_(rowBudgetBytes / sizeof(Word)) {
        buildMasks(s.count);
    }

    std::vector<Op> run() {
        ops_.reserve(n_ + m_);
        // Equal leading lines are matched by the walk anyway; skipping them shrinks the rows.
        while (i_ < n_ && j_ < m_ && a_[i_] == b_[j_]) {
            ops_.push_back(Op::equal);
            ++i_;
            ++j_;
        }
        if (i_ < n_ && j_ < m_) {
            std::vector<Word> lastRow(wordsFor(m_ - j_), ~Word{0});
            walkBlock(i_, n_, lastRow.data(), budgetWords_);
        }
        if (!done_) {
            ops_.insert(ops_.end(), n_ - i_, Op::remove);
            ops_.insert(ops_.end(), m_ - j_, Op::insert);
        }
        return std::move(ops_);
    }

private:
    const std::vector<std::uint32_t>& a_;
    const std::vector<std::uint32_t>& b_;
    const std::size_t n_, m_;
    const std::size_t budgetWords_;

    // Match masks: a symbol occurring often in b has a precomputed mask; a rare one is set into
    // `scratch_` for the one update that needs it and cleared again, which costs only its count.
    std::vector<std::uint32_t> occurrenceStart_; // positions of symbol s: [start[s], start[s+1])
    std::vector<std::uint32_t> positions_;       // bit positions p = m-1-j
    std::vector<std::int64_t> denseIndex_;       // -1 when the symbol has no precomputed mask
    std::vector<Word> dense_;
    std::vector<Word> scratch_;
    std::size_t maskWords_ = 0;

    // The block being walked: row r0+k lives in slot rowSlot_[k] of block_ and has zeros_[k] zero bits.
    std::vector<Word> block_;
    std::vector<std::size_t> rowSlot_;
    std::vector<std::size_t> zeros_;
    std::size_t blockTop_ = 0, blockWords_ = 0;

    // Walk state: at (i_, j_), with vi_ = L[i_][j_] once known.
    std::vector<Op> ops_;
    std::size_t i_ = 0, j_ = 0;
    std::size_t vi_ = 0;
    bool viKnown_ = false;
    bool done_ = false;

    void buildMasks(std::uint32_t symbolCount) {
        maskWords_ = std::max<std::size_t>(1, wordsFor(m_));
        occurrenceStart_.assign(std::size_t{symbolCount} + 1, 0);
        for (auto s : b_)
            ++occurrenceStart_[s + 1];
        for (std::size_t s = 0; s < symbolCount; ++s)
            occurrenceStart_[s + 1] += occurrenceStart_[s];
        positions_.resize(m_);
        std::vector<std::uint32_t> fill(occurrenceStart_.begin(), occurrenceStart_.end() - 1);
        for (std::size_t j = 0; j < m_; ++j)
            positions_[fill[b_[j]]++] = static_cast<std::uint32_t>(m_ - 1 - j);

        // At most 4·64 symbols can reach this count, so the dense masks take at most 4·m words.
        const std::size_t denseFrom = std::max<std::size_t>(1, maskWords_ / 4);
        denseIndex_.assign(symbolCount, -1);
        std::size_t denseCount = 0;
        for (std::size_t s = 0; s < symbolCount; ++s)
            if (occurrences(s) >= denseFrom)
                denseIndex_[s] = static_cast<std::int64_t>(denseCount++);
        dense_.assign(denseCount * maskWords_, 0);
        for (std::size_t s = 0; s < symbolCount; ++s) {
            if (denseIndex_[s] < 0)
                continue;
            Word* mask = &dense_[static_cast<std::size_t>(denseIndex_[s]) * maskWords_];
            for (std::size_t k = occurrenceStart_[s]; k < occurrenceStart_[s + 1]; ++k)
                mask[positions_[k] / wordBits] |= Word{1} << (positions_[k] % wordBits);
        }
        scratch_.assign(maskWords_, 0);
    }

    std::size_t occurrences(std::size_t s) const { return occurrenceStart_[s + 1] - occurrenceStart_[s]; }
    /// Whether row r differs from row r+1 at all.
    bool changes(std::size_t r) const { return occurrences(a_[r]) != 0; }

    void setScratch(std::uint32_t s, bool on) {
        for (std::size_t k = occurrenceStart_[s]; k < occurrenceStart_[s + 1]; ++k) {
            Word bit = Word{1} << (positions_[k] % wordBits);
            Word& w = scratch_[positions_[k] / wordBits];
            w = on ? (w | bit) : (w & ~bit);
        }
    }

    /// Row r from row r+1 (only the low `words` words); returns the carry out, which is how many
    /// zero bits the row gains. Only for rows that change.
    Word advance(const Word* below, Word* out, std::size_t r, std::size_t words) {
        const std::uint32_t symbol = a_[r];
        const bool isDense = denseIndex_[symbol] >= 0;
        const Word* mask =
            isDense ? &dense_[static_cast<std::size_t>(denseIndex_[symbol]) * maskWords_] : scratch_.data();
        if (!isDense)
            setScratch(symbol, true);
        unsigned char carry = 0;
        auto one = [&](std::size_t k) {
            const Word v = below[k], mk = mask[k];
            out[k] = addWithCarry(v, v & mk, carry) | (v & ~mk);
        };
        // Four words per round keep the carry chain in the flags instead of a register.
        std::size_t k = 0;
        for (; k + 4 <= words; k += 4) {
            one(k);
            one(k + 1);
            one(k + 2);
            one(k + 3);
        }
        for (; k < words; ++k)
            one(k);
        if (!isDense)
            setScratch(symbol, false);
        return carry;
    }

    /// Walks rows [r0, r1) given row r1 (`bottom`); on entry the walk is at row r0. `bottom` has at
    /// least as many words as the current width.
    void walkBlock(std::size_t r0, std::size_t r1, const Word* bottom, std::size_t budgetWords) {
        if (done_ || i_ == r1)
            return;
        const std::size_t words = wordsFor(m_ - j_);
        const std::size_t rows = r1 - r0;
        std::size_t changing = 0;
        for (std::size_t r = r0; r < r1; ++r)
            changing += changes(r) ? 1 : 0;
        if ((changing + 1) * words <= budgetWords || rows <= 1) {
            computeBlock(r0, r1, bottom, words, changing);
            walkRows(r1);
            return;
        }

        // Checkpoints at the tops of all sub-blocks but the first; about √rows of them when the
        // budget allows, so that a second pass over the sub-blocks finishes the walk.
        const std::size_t affordable = std::max<std::size_t>(1, budgetWords / 2 / words);
        std::size_t blocks = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(rows))));
        blocks = std::clamp<std::size_t>(blocks, 2, std::max<std::size_t>(2, affordable + 1));
        const std::size_t size = (rows + blocks - 1) / blocks;
        const std::size_t tops = (rows - 1) / size; // sub-blocks starting after r0
        std::vector<Word> checkpoints(tops * words);
        {
            std::vector<Word> current(bottom, bottom + words), next(words);
            for (std::size_t r = r1; r-- > r0 + size;) {
                if (changes(r)) {
                    advance(current.data(), next.data(), r, words);
                    current.swap(next);
                }
                if ((r - r0) % size == 0)
                    std::copy(current.begin(), current.end(), &checkpoints[((r - r0) / size - 1) * words]);
            }
        }
        const std::size_t used = tops * words;
        const std::size_t remaining = budgetWords > used ? budgetWords - used : 0;
        for (std::size_t start = r0; start < r1 && !done_; start += size) {
            const std::size_t end = std::min(r1, start + size);
            const Word* below = end == r1 ? bottom : &checkpoints[((end - r0) / size - 1) * words];
            walkBlock(start, end, below, remaining);
        }
    }

    /// Fills the block's rows r0 … r1 from row r1.
    void computeBlock(std::size_t r0, std::size_t r1, const Word* bottom, std::size_t words, std::size_t changing) {
        const std::size_t rows = r1 - r0;
        blockTop_ = r0;
        blockWords_ = words;
        block_.resize((changing + 1) * words);
        rowSlot_.assign(rows + 1, 0);
        zeros_.assign(rows + 1, 0);
        std::copy(bottom, bottom + words, block_.begin());
        zeros_[rows] = zerosIn(bottom, 0, words * wordBits);
        std::size_t next = 1;
        for (std::size_t r = r1; r-- > r0;) {
            const std::size_t k = r - r0;
            if (!changes(r)) {
                rowSlot_[k] = rowSlot_[k + 1];
                zeros_[k] = zeros_[k + 1];
                continue;
            }
            rowSlot_[k] = next++;
            zeros_[k] = zeros_[k + 1] + advance(row(k + 1), &block_[rowSlot_[k] * words], r, words);
        }
    }

    const Word* row(std::size_t k) const { return &block_[rowSlot_[k] * blockWords_]; }

    /// L[r][j] for a row of the current block: the zero bits below m-j, counted directly or as the
    /// row's total minus those above, whichever is shorter.
    std::size_t lcs(std::size_t r, std::size_t j) const {
        const std::size_t k = r - blockTop_, split = m_ - j, width = blockWords_ * wordBits;
        return split <= width - split ? zerosIn(row(k), 0, split) : zeros_[k] - zerosIn(row(k), split, width);
    }

    /// L[i][j] - L[i][j+1] for the row held in `bits`.
    std::size_t step(const Word* bits, std::size_t j) const {
        const std::size_t p = m_ - 1 - j;
        return ((bits[p / wordBits] >> (p % wordBits)) & 1) ? 0 : 1;
    }

    /// The table walk over the computed block's rows, up to row r1.
    void walkRows(std::size_t r1) {
        while (i_ < r1) {
            if (j_ == m_) {
                ops_.insert(ops_.end(), n_ - i_, Op::remove);
                done_ = true;
                return;
            }
            const Word* here = row(i_ - blockTop_);
            const Word* below = row(i_ + 1 - blockTop_);
            if (!viKnown_) {
                vi_ = lcs(i_, j_);
                viKnown_ = true;
            }
            std::size_t vd = lcs(i_ + 1, j_); // L[i+1][j]
            for (;;) {
                if (a_[i_] == b_[j_]) {
                    ops_.push_back(Op::equal);
                    vi_ = vd - step(below, j_);
                    ++i_;
                    ++j_;
                    break;
                }
                const std::size_t right = vi_ - step(here, j_); // L[i][j+1]
                if (vd >= right) {
                    ops_.push_back(Op::remove);
                    vi_ = vd;
                    ++i_;
                    break;
                }
                ops_.push_back(Op::insert);
                vd -= step(below, j_);
                vi_ = right;
                ++j_;
                if (j_ == m_)
                    break;
            }
        }
    }
};

} // namespace

std::vector<Op> diffOps(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b,
                        const Options& options) {
    const Symbols s = intern(a, b);
    const std::size_t rows = s.a.size() + 1, columns = s.b.size() + 1;
    Algorithm algorithm = options.algorithm;
    if (algorithm == Algorithm::automatic)
        algorithm = rows <= options.tableBudgetCells / columns ? Algorithm::table : Algorithm::bitParallel;
    if (algorithm == Algorithm::table) {
        if (std::min(s.a.size(), s.b.size()) < std::numeric_limits<std::uint16_t>::max())
            return tableOps<std::uint16_t>(s.a, s.b);
        return tableOps<std::uint32_t>(s.a, s.b);
    }
    return BitParallelWalk(s, options.rowBudgetBytes).run();
}

std::vector<bool> markKept(const std::vector<Op>& ops, int context) {
    // Equivalent to marking d = 1 … max(context, 1) ops on each side of every change, in linear time.
    const std::size_t reach = static_cast<std::size_t>(std::max(context, 1));
    std::vector<bool> keep(ops.size(), false);
    std::optional<std::size_t> lastChange;
    for (std::size_t k = 0; k < ops.size(); ++k) {
        if (ops[k] != Op::equal) {
            keep[k] = true;
            lastChange = k;
        } else if (lastChange && k - *lastChange <= reach) {
            keep[k] = true;
        }
    }
    std::optional<std::size_t> nextChange;
    for (std::size_t k = ops.size(); k-- > 0;) {
        if (ops[k] != Op::equal)
            nextChange = k;
        else if (nextChange && *nextChange - k <= reach)
            keep[k] = true;
    }
    return keep;
}

Result unified(std::string_view oldText, std::string_view newText, int context, const Options& options) {
    const auto a = splitLines(oldText);
    const auto b = splitLines(newText);
    const auto ops = diffOps(a, b, options);
    const auto keep = markKept(ops, context);

    Result result;
    std::size_t shown = 0;
    for (std::size_t k = 0; k < keep.size(); ++k)
        shown += keep[k] ? ((k > 0 && !keep[k - 1] && shown > 0) ? 2 : 1) : 0;
    result.hunks.reserve(shown);

    std::size_t i = 0, j = 0;
    bool skipped = false;
    for (std::size_t k = 0; k < ops.size(); ++k) {
        std::string_view prefix, line;
        switch (ops[k]) {
        case Op::equal:
            prefix = "  ";
            line = a[i++];
            ++j;
            break;
        case Op::remove:
            prefix = "- ";
            line = a[i++];
            ++result.removed;
            break;
        case Op::insert:
            prefix = "+ ";
            line = b[j++];
            ++result.added;
            break;
        }
        if (!keep[k]) {
            skipped = true;
            continue;
        }
        if (skipped && !result.hunks.empty())
            result.hunks.emplace_back("\u2026");
        skipped = false;
        std::string display;
        display.reserve(prefix.size() + line.size());
        display.append(prefix).append(line);
        result.hunks.push_back(std::move(display));
    }
    return result;
}

Result unified(std::string_view oldText, std::string_view newText, int context) {
    return unified(oldText, newText, context, Options{});
}

} // namespace LineDiff

} // namespace stowage
