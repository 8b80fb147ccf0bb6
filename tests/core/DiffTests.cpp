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

namespace {

const std::string ellipsis = "\u2026";

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k > 0)
            text += '\n';
        text += lines[k];
    }
    return text;
}

/// Independent of both algorithms: the textbook prefix DP over two rows.
std::size_t referenceLcs(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    std::vector<std::size_t> prev(b.size() + 1, 0), cur(b.size() + 1, 0);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j)
            cur[j] = a[i - 1] == b[j - 1] ? prev[j - 1] + 1 : std::max(prev[j], cur[j - 1]);
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

/// Replays `ops` on `a`; fails the test unless the result is `b`. Also checks that within every
/// change (a run of non-equal ops) all deletions come before all insertions.
void expectValidScript(const std::vector<Op>& ops, const std::vector<std::string_view>& a,
                       const std::vector<std::string_view>& b) {
    std::size_t i = 0, j = 0;
    bool insertedInChange = false;
    for (Op op : ops) {
        switch (op) {
        case Op::equal:
            ASSERT_LT(i, a.size());
            ASSERT_LT(j, b.size());
            ASSERT_EQ(a[i], b[j]) << "equal op pairs different lines at " << i << "," << j;
            ++i;
            ++j;
            insertedInChange = false;
            break;
        case Op::remove:
            ASSERT_LT(i, a.size());
            ASSERT_FALSE(insertedInChange) << "a deletion follows an insertion within one change";
            ++i;
            break;
        case Op::insert:
            ASSERT_LT(j, b.size());
            ++j;
            insertedInChange = true;
            break;
        }
    }
    EXPECT_EQ(i, a.size());
    EXPECT_EQ(j, b.size());
}

std::size_t cost(const std::vector<Op>& ops) {
    return static_cast<std::size_t>(std::count_if(ops.begin(), ops.end(), [](Op op) { return op != Op::equal; }));
}

Options force(Algorithm algorithm, std::size_t rowBudgetBytes = LineDiff::defaultRowBudgetBytes) {
    Options options;
    options.algorithm = algorithm;
    options.rowBudgetBytes = rowBudgetBytes;
    return options;
}

std::vector<std::string> randomLines(std::mt19937& rng, std::size_t count, int alphabet) {
    std::uniform_int_distribution<int> pick(0, alphabet - 1);
    std::vector<std::string> lines;
    for (std::size_t k = 0; k < count; ++k)
        lines.emplace_back(1, static_cast<char>('a' + pick(rng)));
    return lines;
}

/// `base` with a few random deletions, insertions and replacements.
std::vector<std::string> mutate(std::mt19937& rng, std::vector<std::string> base, int alphabet, int edits) {
    std::uniform_int_distribution<int> pick(0, alphabet - 1), kind(0, 2);
    for (int e = 0; e < edits; ++e) {
        std::uniform_int_distribution<std::size_t> at(0, base.size());
        std::size_t k = at(rng);
        std::string line(1, static_cast<char>('a' + pick(rng)));
        int what = kind(rng);
        if (what == 0 && k < base.size())
            base.erase(base.begin() + static_cast<std::ptrdiff_t>(k));
        else if (what == 1 || k == base.size())
            base.insert(base.begin() + static_cast<std::ptrdiff_t>(k), line);
        else
            base[k] = line;
    }
    return base;
}

std::vector<std::string_view> views(const std::vector<std::string>& lines) {
    return {lines.begin(), lines.end()};
}

// Every algorithm must give the documented display, so the display cases run under each of them,
// including the bit-parallel one with a budget small enough to force nested checkpoints.
struct Variant {
    const char* name;
    Options options;
};

void PrintTo(const Variant& variant, std::ostream* out) {
    *out << variant.name;
}

class UnifiedDisplay : public ::testing::TestWithParam<Variant> {
protected:
    LineDiff::Result diff(const std::string& oldText, const std::string& newText, int context = 3) {
        return LineDiff::unified(oldText, newText, context, GetParam().options);
    }
};

INSTANTIATE_TEST_SUITE_P(Algorithms, UnifiedDisplay,
                         ::testing::Values(Variant{"automatic", Options{}}, Variant{"table", force(Algorithm::table)},
                                           Variant{"bitParallel", force(Algorithm::bitParallel)},
                                           Variant{"bitParallelNested", force(Algorithm::bitParallel, 1)}),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace

TEST_P(UnifiedDisplay, OneReplacedLineShowsContextAndCounts) {
    auto result = diff("a\nb\nc", "a\nB\nc");
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"  a", "- b", "+ B", "  c"}));
    EXPECT_EQ(result.added, 1);
    EXPECT_EQ(result.removed, 1);
}

TEST_P(UnifiedDisplay, IdenticalTextsShowNothing) {
    EXPECT_EQ(diff("same\ntext\n", "same\ntext\n"), LineDiff::Result{});
    EXPECT_EQ(diff("", ""), LineDiff::Result{});
}

TEST_P(UnifiedDisplay, TrailingNewlineIsAnAddedEmptyLine) {
    auto result = diff("x", "x\n");
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"  x", "+ "}));
    EXPECT_EQ(result.added, 1);
    EXPECT_EQ(result.removed, 0);
}

TEST_P(UnifiedDisplay, CarriageReturnsStayPartOfTheLine) {
    auto result = diff("a\r\nb\r\n", "a\nb\r\n");
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"- a\r", "+ a", "  b\r", "  "}));
}

TEST_P(UnifiedDisplay, TieDeletesBeforeInserting) {
    EXPECT_EQ(diff("a", "b").hunks, (std::vector<std::string>{"- a", "+ b"}));
    EXPECT_EQ(diff("", "x").hunks, (std::vector<std::string>{"- ", "+ x"}));
    // A block changed in the middle: all its deletions, then all its insertions.
    EXPECT_EQ(diff("k\n1\n2\nk", "k\n3\n4\nk").hunks,
              (std::vector<std::string>{"  k", "- 1", "- 2", "+ 3", "+ 4", "  k"}));
}

TEST_P(UnifiedDisplay, EqualLinesAreMatchedAsEarlyAsPossible) {
    // A duplicated line: the first copy is kept and the second one deleted.
    EXPECT_EQ(diff("y\ny", "y").hunks, (std::vector<std::string>{"  y", "- y"}));
    EXPECT_EQ(diff("y", "y\ny").hunks, (std::vector<std::string>{"  y", "+ y"}));
}

TEST_P(UnifiedDisplay, ContextAroundOneChange) {
    std::vector<std::string> oldLines, newLines;
    for (int k = 0; k < 10; ++k)
        oldLines.push_back("before" + std::to_string(k));
    newLines = oldLines;
    oldLines.push_back("old");
    newLines.push_back("new");
    for (int k = 0; k < 10; ++k) {
        oldLines.push_back("after" + std::to_string(k));
        newLines.push_back("after" + std::to_string(k));
    }
    auto result = diff(joinLines(oldLines), joinLines(newLines));
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"  before7", "  before8", "  before9", "- old", "+ new",
                                                      "  after0", "  after1", "  after2"}));
}

TEST_P(UnifiedDisplay, DistantChangesAreJoinedByOneSeparator) {
    std::vector<std::string> oldLines{"first"}, newLines{"FIRST"};
    for (int k = 0; k < 20; ++k) {
        oldLines.push_back(std::to_string(k));
        newLines.push_back(std::to_string(k));
    }
    oldLines.push_back("last");
    newLines.push_back("LAST");
    auto result = diff(joinLines(oldLines), joinLines(newLines));
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"- first", "+ FIRST", "  0", "  1", "  2", ellipsis, "  17",
                                                      "  18", "  19", "- last", "+ LAST"}));
    EXPECT_EQ(result.added, 2);
    EXPECT_EQ(result.removed, 2);
}

TEST_P(UnifiedDisplay, ContextBelowOneStillShowsOneLineEachSide) {
    const std::string oldText = "1\n2\n3\nx\n4\n5\n6";
    const std::string newText = "1\n2\n3\ny\n4\n5\n6";
    const std::vector<std::string> expected{"  3", "- x", "+ y", "  4"};
    EXPECT_EQ(diff(oldText, newText, 0).hunks, expected);
    EXPECT_EQ(diff(oldText, newText, -5).hunks, expected);
    EXPECT_EQ(diff(oldText, newText, 1).hunks, expected);
}

TEST_P(UnifiedDisplay, ContextRunsThatTouchAreNotSeparated) {
    // Changes exactly 2·context equal lines apart share their context: no "…".
    auto result = diff("a\n1\n2\nb", "A\n1\n2\nB", 1);
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"- a", "+ A", "  1", "  2", "- b", "+ B"}));
    // One more equal line in between is left out and replaced by a separator.
    result = diff("a\n1\n2\n3\nb", "A\n1\n2\n3\nB", 1);
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"- a", "+ A", "  1", ellipsis, "  3", "- b", "+ B"}));
}

TEST_P(UnifiedDisplay, HugeContextShowsEverything) {
    auto result = diff("1\n2\n3\nx\n4", "1\n2\n3\ny\n4", std::numeric_limits<int>::max());
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"  1", "  2", "  3", "- x", "+ y", "  4"}));
}

TEST_P(UnifiedDisplay, WholeTextReplacedAndEmptied) {
    auto result = diff("one\ntwo", "");
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"- one", "- two", "+ "}));
    EXPECT_EQ(result.removed, 2);
    EXPECT_EQ(result.added, 1);
}

TEST(LineDiffTest, SplitKeepsEveryLine) {
    EXPECT_EQ(LineDiff::splitLines(""), (std::vector<std::string_view>{""}));
    EXPECT_EQ(LineDiff::splitLines("\n"), (std::vector<std::string_view>{"", ""}));
    EXPECT_EQ(LineDiff::splitLines("a\r\n\nb"), (std::vector<std::string_view>{"a\r", "", "b"}));
}

TEST(LineDiffTest, BinaryMeansAZeroByteWithinTheFirst8000) {
    EXPECT_FALSE(LineDiff::isBinary(Bytes{}));
    Bytes data(9000, 'x');
    EXPECT_FALSE(LineDiff::isBinary(data));
    data[7999] = 0;
    EXPECT_TRUE(LineDiff::isBinary(data));
    data[7999] = 'x';
    data[8000] = 0;
    EXPECT_FALSE(LineDiff::isBinary(data));
    data[0] = 0;
    EXPECT_TRUE(LineDiff::isBinary(data));
    EXPECT_TRUE(LineDiff::isBinary(Bytes{0}));

    std::string text(8001, 'x');
    text[8000] = '\0';
    EXPECT_FALSE(LineDiff::isBinary(text));
    text[7999] = '\0';
    EXPECT_TRUE(LineDiff::isBinary(text));
}

TEST(LineDiffTest, AutomaticChoiceFollowsTheTableBudget) {
    // Both algorithms give the same script, so the choice is observed through a budget of zero
    // cells: even a one-line comparison then goes to the bit-parallel algorithm and still works.
    Options noTable;
    noTable.tableBudgetCells = 0;
    EXPECT_EQ(LineDiff::unified("a\nb\nc", "a\nB\nc", 3, noTable), LineDiff::unified("a\nb\nc", "a\nB\nc", 3));
}

TEST(LineDiffTest, AlgorithmsAgreeWithEachOtherAndWithTheReference) {
    std::mt19937 rng(20240611);
    const std::vector<Options> linear{force(Algorithm::bitParallel), force(Algorithm::bitParallel, 1),
                                      force(Algorithm::bitParallel, 64)};
    for (int round = 0; round < 6000; ++round) {
        const int alphabet = 1 + round % 4;
        // Mostly small inputs, some wider than one 64-bit word so carries cross words.
        const std::size_t limit = round % 10 == 0 ? 200 : 24;
        std::uniform_int_distribution<std::size_t> length(0, limit);
        std::vector<std::string> a = randomLines(rng, length(rng), alphabet);
        std::vector<std::string> b =
            round % 2 == 0 ? randomLines(rng, length(rng), alphabet) : mutate(rng, a, alphabet, 1 + round % 5);
        const auto va = views(a), vb = views(b);

        const auto table = LineDiff::diffOps(va, vb, force(Algorithm::table));
        SCOPED_TRACE("round " + std::to_string(round) + ": " + joinLines(a) + " | " + joinLines(b));
        expectValidScript(table, va, vb);
        EXPECT_EQ(cost(table), va.size() + vb.size() - 2 * referenceLcs(va, vb));
        for (const auto& options : linear)
            ASSERT_EQ(LineDiff::diffOps(va, vb, options), table) << "budget " << options.rowBudgetBytes;
    }
}

TEST(LineDiffTest, AlgorithmsAgreeOnLinesOfManyDistinctTexts) {
    // Many distinct lines make most match masks sparse (built per row) rather than precomputed.
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> word(0, 400);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::string> a, b;
        for (int k = 0; k < 300; ++k)
            a.push_back("line " + std::to_string(word(rng)));
        b = a;
        for (int k = 0; k < 60; ++k)
            b[static_cast<std::size_t>(word(rng)) % b.size()] = "line " + std::to_string(word(rng));
        b.insert(b.begin() + 10, a.begin() + 200, a.begin() + 260);
        const auto va = views(a), vb = views(b);
        const auto table = LineDiff::diffOps(va, vb, force(Algorithm::table));
        EXPECT_EQ(LineDiff::diffOps(va, vb, force(Algorithm::bitParallel)), table);
        EXPECT_EQ(LineDiff::diffOps(va, vb, force(Algorithm::bitParallel, 512)), table);
        EXPECT_EQ(LineDiff::diffOps(vb, va, force(Algorithm::bitParallel, 512)),
                  LineDiff::diffOps(vb, va, force(Algorithm::table)));
    }
}

TEST(LineDiffTest, NestedCheckpointsReproduceTheTableOnMediumInputs) {
    std::mt19937 rng(5);
    const auto a = randomLines(rng, 1500, 3);
    const auto b = mutate(rng, randomLines(rng, 1400, 3), 3, 50);
    const auto va = views(a), vb = views(b);
    const auto table = LineDiff::diffOps(va, vb, force(Algorithm::table));
    // 1500 rows of 22 words: 4 KiB forces three levels, 256 KiB two.
    EXPECT_EQ(LineDiff::diffOps(va, vb, force(Algorithm::bitParallel, 4096)), table);
    EXPECT_EQ(LineDiff::diffOps(va, vb, force(Algorithm::bitParallel, 256 * 1024)), table);
    EXPECT_EQ(LineDiff::diffOps(va, vb, force(Algorithm::bitParallel)), table);
}

TEST(LineDiffTest, EmptyAndLopsidedLineListsAgree) {
    std::mt19937 rng(11);
    const auto one = randomLines(rng, 1, 3);
    const auto many = randomLines(rng, 5000, 3);
    const std::vector<std::string> none;
    const std::vector<std::pair<const std::vector<std::string>*, const std::vector<std::string>*>> pairs{
        {&none, &none}, {&none, &one}, {&one, &none}, {&none, &many}, {&many, &none}, {&one, &many}, {&many, &one}};
    for (const auto& [left, right] : pairs) {
        const auto va = views(*left), vb = views(*right);
        const auto table = LineDiff::diffOps(va, vb, force(Algorithm::table));
        expectValidScript(table, va, vb);
        EXPECT_EQ(LineDiff::diffOps(va, vb, force(Algorithm::bitParallel)), table);
        EXPECT_EQ(LineDiff::diffOps(va, vb, force(Algorithm::bitParallel, 8)), table);
    }
}

TEST(LineDiffTest, LargeNearlyIdenticalInputs) {
    // Equal up to the last line: only the final change and its context are shown.
    std::string a, b;
    for (int k = 0; k < 20000; ++k) {
        a += std::to_string(k % 7) + "\n";
        b += std::to_string(k % 7) + "\n";
    }
    EXPECT_EQ(LineDiff::unified(a, b, 3), LineDiff::Result{});
    a += "old";
    b += "new";
    const auto result = LineDiff::unified(a, b, 3);
    EXPECT_EQ(result.hunks, (std::vector<std::string>{"  5", "  6", "  0", "- old", "+ new"}));
}

TEST(LineDiffTest, LargeInputsBeyondTheTableBudgetGiveAMinimalScript) {
    // 5000 × 5000 lines exceeds the table budget, so the automatic choice takes the bit-parallel path.
    std::mt19937 rng(99);
    for (int alphabet : {2, 26}) {
        const auto a = randomLines(rng, 5000, alphabet);
        const auto b = alphabet == 2 ? randomLines(rng, 5000, alphabet) : mutate(rng, a, alphabet, 400);
        const auto va = views(a), vb = views(b);
        ASSERT_GT((va.size() + 1) * (vb.size() + 1), LineDiff::defaultTableBudgetCells);
        const auto ops = LineDiff::diffOps(va, vb);
        expectValidScript(ops, va, vb);
        EXPECT_EQ(cost(ops), va.size() + vb.size() - 2 * referenceLcs(va, vb));
    }
}

TEST(LineDiffTest, FullSizeFilesOfOneCharacterLinesDiffCorrectly) {
    // Two 256 KiB files of one-character lines, built so that the minimal cost is known: b has `y`
    // lines where a has "x", spread over the whole file, so exactly `y` lines go and `y` come.
    const std::size_t lines = LineDiff::maxBytes / 2;
    std::string a, b;
    std::int64_t ys = 0;
    for (std::size_t n = 0; n < lines; ++n) {
        a += "x\n";
        const bool replaced = n % 131 == 7;
        b += replaced ? "y\n" : "x\n";
        ys += replaced ? 1 : 0;
    }
    ASSERT_EQ(a.size(), LineDiff::maxBytes);
    const auto va = LineDiff::splitLines(a), vb = LineDiff::splitLines(b);
    const auto ops = LineDiff::diffOps(va, vb);
    expectValidScript(ops, va, vb);
    EXPECT_EQ(cost(ops), static_cast<std::size_t>(2 * ys));

    const auto result = LineDiff::unified(a, b, 3);
    EXPECT_EQ(result.added, ys);
    EXPECT_EQ(result.removed, ys);
    // The walk deletes while deleting costs nothing extra, so the first change removes every "x"
    // that b lacks before the first "y" comes in.
    ASSERT_GT(result.hunks.size(), static_cast<std::size_t>(ys) + 4);
    EXPECT_EQ(result.hunks[2], "  x");
    EXPECT_EQ(result.hunks[3], "- x");
    EXPECT_EQ(result.hunks[3 + static_cast<std::size_t>(ys) - 1], "- x");
    EXPECT_EQ(result.hunks[3 + static_cast<std::size_t>(ys)], "+ y");
}

TEST(FileDiffTest, KindsRoundTripThroughRawValues) {
    const std::vector<std::string> raw{"new", "identical", "modified", "binary", "directory"};
    ASSERT_EQ(allFileDiffKinds().size(), raw.size());
    for (std::size_t k = 0; k < raw.size(); ++k) {
        EXPECT_EQ(toString(allFileDiffKinds()[k]), raw[k]);
        EXPECT_EQ(fileDiffKindFromString(raw[k]), allFileDiffKinds()[k]);
    }
    EXPECT_EQ(fileDiffKindFromString("New"), std::nullopt);
    EXPECT_EQ(fileDiffKindFromString(""), std::nullopt);
}

TEST(FileDiffTest, JsonUsesFieldNamesAndRejectsUnknownKinds) {
    FileDiff diff{FileDiff::Kind::modified, {"  a", "- b", "+ B", "\u2026"}, 1, 1};
    nlohmann::json j = diff;
    EXPECT_EQ(j.at("kind"), "modified");
    EXPECT_EQ(j.at("hunks").size(), 4u);
    EXPECT_EQ(j.get<FileDiff>(), diff);
    EXPECT_EQ(nlohmann::json(FileDiff{FileDiff::Kind::new_, {}, 0, 0}).at("kind"), "new");

    j["kind"] = "changed";
    EXPECT_THROW(j.get<FileDiff>(), nlohmann::json::exception);
    j["kind"] = 3;
    EXPECT_THROW(j.get<FileDiff>(), nlohmann::json::exception);
}
