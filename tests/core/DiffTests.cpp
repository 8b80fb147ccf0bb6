#include "core/Diff.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace stowage;
using LineDiff::Algorithm;
using LineDiff::Op;
using LineDiff::Options;
using Lines = std::vector<std::string>;
using Views = std::vector<std::string_view>;

namespace {

/// Independent of both algorithms: the textbook prefix DP over two rows.
std::size_t referenceLcs(const Views& a, const Views& b) {
    std::vector<std::size_t> prev(b.size() + 1, 0), cur(b.size() + 1, 0);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j)
            cur[j] = a[i - 1] == b[j - 1] ? prev[j - 1] + 1 : std::max(prev[j], cur[j - 1]);
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

/// Replays `ops` on `a`: it must give `b` with `cost` removals and insertions, and within every
/// change (a run of non-equal ops) all removals must come before all insertions.
void expectValidScript(const std::vector<Op>& ops, const Views& a, const Views& b, std::size_t cost) {
    std::size_t i = 0, j = 0, changes = 0;
    bool inserted = false;
    for (Op op : ops) {
        if (op == Op::equal) {
            ASSERT_TRUE(i < a.size() && j < b.size() && a[i] == b[j]) << "equal op at " << i << "," << j;
            ++i, ++j, inserted = false;
        } else if (op == Op::remove) {
            ASSERT_TRUE(i < a.size() && !inserted) << "removal at " << i;
            ++i, ++changes;
        } else {
            ASSERT_LT(j, b.size());
            ++j, ++changes, inserted = true;
        }
    }
    EXPECT_EQ(i, a.size());
    EXPECT_EQ(j, b.size());
    EXPECT_EQ(changes, cost);
}

Options force(Algorithm algorithm, std::size_t rowBudgetBytes = LineDiff::defaultRowBudgetBytes,
              std::size_t tableBudgetCells = LineDiff::defaultTableBudgetCells) {
    return Options{algorithm, tableBudgetCells, rowBudgetBytes};
}

Lines randomLines(std::mt19937& rng, std::size_t count, int alphabet) {
    std::uniform_int_distribution<int> pick(0, alphabet - 1);
    Lines lines;
    for (std::size_t k = 0; k < count; ++k)
        lines.emplace_back(1, static_cast<char>('a' + pick(rng)));
    return lines;
}

/// `base` with a few random removals, insertions and replacements.
Lines edited(std::mt19937& rng, Lines base, int alphabet, int edits) {
    std::uniform_int_distribution<int> pick(0, alphabet - 1), kind(0, 2);
    for (int e = 0; e < edits; ++e) {
        const std::size_t k = std::uniform_int_distribution<std::size_t>(0, base.size())(rng);
        const std::string line(1, static_cast<char>('a' + pick(rng)));
        const int what = kind(rng);
        if (what == 0 && k < base.size())
            base.erase(base.begin() + static_cast<std::ptrdiff_t>(k));
        else if (what == 1 || k == base.size())
            base.insert(base.begin() + static_cast<std::ptrdiff_t>(k), line);
        else
            base[k] = line;
    }
    return base;
}

} // namespace

// Every algorithm gives the documented display: the automatic choice, with and without room for a
// table, and each algorithm forced, the bit-parallel one also with a budget small enough to force
// nested checkpoints.
TEST(LineDiffTest, EveryAlgorithmShowsChangesWithTheirContextAndCountsThem) {
    const std::string ellipsis = "\u2026";
    std::string sevens; // 20000 lines, equal up to the last one below
    for (int k = 0; k < 20000; ++k)
        sevens += std::to_string(k % 7) + "\n";
    const struct {
        std::string oldText, newText;
        int context;
        Lines hunks;
    } cases[] = {
        {"a\nb\nc", "a\nB\nc", 3, {"  a", "- b", "+ B", "  c"}},
        {"same\ntext\n", "same\ntext\n", 3, {}},
        // A trailing newline is an added empty line; carriage returns stay part of the line.
        {"x", "x\n", 3, {"  x", "+ "}},
        {"a\r\nb\r\n", "a\nb\r\n", 3, {"- a\r", "+ a", "  b\r", "  "}},
        // Ties remove before inserting, within a whole changed block too.
        {"a", "b", 3, {"- a", "+ b"}},
        {"", "x", 3, {"- ", "+ x"}},
        {"k\n1\n2\nk", "k\n3\n4\nk", 3, {"  k", "- 1", "- 2", "+ 3", "+ 4", "  k"}},
        {"one\ntwo", "", 3, {"- one", "- two", "+ "}},
        // Equal lines are matched as early as possible.
        {"y\ny", "y", 3, {"  y", "- y"}},
        {"y", "y\ny", 3, {"  y", "+ y"}},
        {"1\n2\n3\n4\n5\nx\n6\n7\n8\n9",
         "1\n2\n3\n4\n5\ny\n6\n7\n8\n9",
         3,
         {"  3", "  4", "  5", "- x", "+ y", "  6", "  7", "  8"}},
        // A context below one still shows one line each side.
        {"1\n2\n3\nx\n4\n5\n6", "1\n2\n3\ny\n4\n5\n6", -5, {"  3", "- x", "+ y", "  4"}},
        {"1\n2\n3\nx\n4\n5\n6", "1\n2\n3\ny\n4\n5\n6", 1, {"  3", "- x", "+ y", "  4"}},
        // Changes exactly 2·context equal lines apart share their context; one more line apart, not.
        {"a\n1\n2\nb", "A\n1\n2\nB", 1, {"- a", "+ A", "  1", "  2", "- b", "+ B"}},
        {"a\n1\n2\n3\nb", "A\n1\n2\n3\nB", 1, {"- a", "+ A", "  1", ellipsis, "  3", "- b", "+ B"}},
        {"1\n2\n3\nx\n4", "1\n2\n3\ny\n4", std::numeric_limits<int>::max(), {"  1", "  2", "  3", "- x", "+ y", "  4"}},
        {sevens, sevens, 3, {}},
        {sevens + "old", sevens + "new", 3, {"  5", "  6", "  0", "- old", "+ new"}},
    };
    const Options variants[] = {Options{}, force(Algorithm::automatic, LineDiff::defaultRowBudgetBytes, 0),
                                force(Algorithm::table), force(Algorithm::bitParallel),
                                force(Algorithm::bitParallel, 1)};
    for (std::size_t variant = 0; variant < std::size(variants); ++variant)
        for (const auto& c : cases) {
            SCOPED_TRACE("variant " + std::to_string(variant) + ": " + c.oldText.substr(0, 40) + " | " +
                         c.newText.substr(0, 40));
            const auto result = LineDiff::unified(c.oldText, c.newText, c.context, variants[variant]);
            EXPECT_EQ(result.hunks, c.hunks);
            auto count = [&](char sign) {
                return std::count_if(c.hunks.begin(), c.hunks.end(),
                                     [&](const std::string& h) { return h[0] == sign; });
            };
            EXPECT_EQ(result.added, count('+'));
            EXPECT_EQ(result.removed, count('-'));
        }
}

TEST(LineDiffTest, SplitKeepsEveryLineAndBinaryMeansAZeroByteWithinTheFirst8000) {
    EXPECT_EQ(LineDiff::splitLines(""), (Views{""}));
    EXPECT_EQ(LineDiff::splitLines("\n"), (Views{"", ""}));
    EXPECT_EQ(LineDiff::splitLines("a\r\n\nb"), (Views{"a\r", "", "b"}));
    EXPECT_FALSE(LineDiff::isBinary(Bytes{}));
    EXPECT_TRUE(LineDiff::isBinary(Bytes{0}));
    for (const auto& [zeroAt, binary] : std::vector<std::pair<std::size_t, bool>>{
             {std::string::npos, false}, {0, true}, {7999, true}, {8000, false}}) {
        Bytes data(9000, 'x');
        if (zeroAt != std::string::npos)
            data[zeroAt] = 0;
        EXPECT_EQ(LineDiff::isBinary(data), binary) << zeroAt;
        EXPECT_EQ(LineDiff::isBinary(toString(data)), binary) << zeroAt;
    }
}

TEST(LineDiffTest, EveryAlgorithmAndRowBudgetGivesTheSameMinimalScript) {
    std::mt19937 rng(20240611);
    std::vector<std::pair<Lines, Lines>> pairs;
    // Small texts over one to four distinct lines, some wider than one 64-bit word so carries
    // cross words; unrelated or edited.
    for (int round = 0; round < 6000; ++round) {
        const int alphabet = 1 + round % 4;
        std::uniform_int_distribution<std::size_t> length(0, round % 10 == 0 ? 200 : 24);
        Lines a = randomLines(rng, length(rng), alphabet);
        Lines b = round % 2 == 0 ? randomLines(rng, length(rng), alphabet) : edited(rng, a, alphabet, 1 + round % 5);
        pairs.emplace_back(std::move(a), std::move(b));
    }
    // Many distinct lines make most match masks sparse (built per row, from 512 rows on); a block
    // moved; both ways.
    for (int round = 0; round < 40; ++round) {
        const int count = round % 4 == 0 ? 1200 : 300;
        std::uniform_int_distribution<int> word(0, count * 4 / 3);
        Lines a;
        for (int k = 0; k < count; ++k)
            a.push_back("line " + std::to_string(word(rng)));
        Lines b = a;
        for (int k = 0; k < 60; ++k)
            b[static_cast<std::size_t>(word(rng)) % b.size()] = "line " + std::to_string(word(rng));
        b.insert(b.begin() + 10, a.begin() + 200, a.begin() + 260);
        pairs.emplace_back(a, b);
        pairs.emplace_back(b, a);
    }
    // 1500 rows of 22 words: 4 KiB of rows forces three checkpoint levels, 256 KiB two.
    pairs.emplace_back(randomLines(rng, 1500, 3), edited(rng, randomLines(rng, 1400, 3), 3, 50));
    // Empty and lopsided lists.
    const Lines none, one = randomLines(rng, 1, 3), many = randomLines(rng, 5000, 3);
    for (const auto& [a, b] :
         {std::pair{none, none}, {none, one}, {one, none}, {none, many}, {many, none}, {one, many}, {many, one}})
        pairs.emplace_back(a, b);
    // 5000 × 5000 lines, beyond the table budget: the automatic choice takes the bit-parallel path.
    pairs.emplace_back(randomLines(rng, 5000, 2), randomLines(rng, 5000, 2));
    const Lines letters = randomLines(rng, 5000, 26);
    pairs.emplace_back(letters, edited(rng, letters, 26, 400));

    for (std::size_t n = 0; n < pairs.size(); ++n) {
        const Views a(pairs[n].first.begin(), pairs[n].first.end()), b(pairs[n].second.begin(), pairs[n].second.end());
        SCOPED_TRACE("pair " + std::to_string(n));
        const auto ops = LineDiff::diffOps(a, b);
        expectValidScript(ops, a, b, a.size() + b.size() - 2 * referenceLcs(a, b));
        for (std::size_t budget : {LineDiff::defaultRowBudgetBytes, std::size_t{1}, std::size_t{8}, std::size_t{64},
                                   std::size_t{512}, std::size_t{4096}, std::size_t{256 * 1024}})
            ASSERT_EQ(LineDiff::diffOps(a, b, force(Algorithm::bitParallel, budget)), ops) << "budget " << budget;
    }
}

TEST(FileDiffTest, EveryKindRoundTripsThroughJsonAndUnknownKindsAreRefused) {
    for (FileDiff::Kind kind : allFileDiffKinds()) {
        const FileDiff diff{kind, {"  a", "- b", "+ B", "\u2026"}, 1, 1};
        EXPECT_EQ(nlohmann::json(diff).get<FileDiff>(), diff);
    }
    EXPECT_EQ(nlohmann::json(FileDiff{FileDiff::Kind::new_, {}, 0, 0}).at("kind"), "new");
    nlohmann::json j = FileDiff{FileDiff::Kind::modified, {}, 0, 0};
    for (const nlohmann::json& bad : {nlohmann::json("changed"), nlohmann::json("New"), nlohmann::json(3)}) {
        j["kind"] = bad;
        EXPECT_THROW(j.get<FileDiff>(), nlohmann::json::exception) << bad;
    }
}
