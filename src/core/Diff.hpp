#pragma once
// Restore previews: the per-file verdict (FileDiff) and the line comparison behind it (LineDiff).
//
// LineDiff produces the longest-common-subsequence diff of two texts over whole lines, walked from
// the top so that where a change could be drawn either way the deleted lines come before the
// inserted ones. Two algorithms give that same walk:
//  - the table algorithm fills the full (lines+1)×(lines+1) table of suffix LCS lengths; it is
//    used while the table fits a fixed cell budget;
//  - above that budget a bit-parallel algorithm computes the same table rows 64 columns per
//    machine word, keeps only checkpoint rows within a fixed memory budget, and recomputes one
//    block of rows at a time while walking. It reads exactly the values the table would hold, so
//    it yields the identical edit script (not merely one of equal cost) in O(n·m/64) time and
//    bounded memory.

#include "core/Types.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stowage {

// ---- FileDiff --------------------------------------------------------------------------------

struct FileDiff {
    /// Raw values "new", "identical", "modified", "binary", "directory". `new_` carries a trailing
    /// underscore only because `new` is a C++ keyword.
    enum class Kind { new_, identical, modified, binary, directory };

    Kind kind = Kind::identical;
    /// Display lines (see LineDiff::Result); empty unless `kind` is `modified` with a text comparison.
    std::vector<std::string> hunks;
    /// Lines present in the backup copy and missing on disk.
    std::int64_t added = 0;
    /// Lines present on disk and missing in the backup copy.
    std::int64_t removed = 0;

    bool operator==(const FileDiff&) const = default;
};

const std::vector<FileDiff::Kind>& allFileDiffKinds();
std::string toString(FileDiff::Kind kind);
std::optional<FileDiff::Kind> fileDiffKindFromString(const std::string& raw);

// ---- LineDiff --------------------------------------------------------------------------------

namespace LineDiff {

/// The largest side, in bytes, that callers compare line by line (exactly this size still counts).
inline constexpr std::size_t maxBytes = 262144;
/// How many leading bytes `isBinary` examines.
inline constexpr std::size_t binaryProbeBytes = 8000;

struct Result {
    std::vector<std::string> hunks;
    std::int64_t added = 0;
    std::int64_t removed = 0;

    bool operator==(const Result&) const = default;
};

/// True when a zero byte occurs among the first 8000 bytes.
bool isBinary(const Bytes& data);
bool isBinary(std::string_view data);

/// Line diff of `oldText` (the file on disk) against `newText` (the backup copy), cut down to the
/// changed lines and `context` lines around each change (at least one, whatever `context` says).
/// Display lines are "  " + line (kept), "- " + line (deleted), "+ " + line (inserted), and a lone
/// "…" where lines were left out between two shown runs.
Result unified(std::string_view oldText, std::string_view newText, int context);

// ---- Algorithm control: for tests and benchmarks; callers use the defaults ---------------------

enum class Algorithm {
    /// The table while (old lines + 1) × (new lines + 1) fits `tableBudgetCells`, else bitParallel.
    automatic,
    table,
    bitParallel,
};

/// (lines+1)² about 16 million: a 32–64 MiB table.
inline constexpr std::size_t defaultTableBudgetCells = std::size_t{16} * 1024 * 1024;
/// Memory for the bit-parallel algorithm's rows held at once (checkpoints plus one block).
inline constexpr std::size_t defaultRowBudgetBytes = std::size_t{32} * 1024 * 1024;

struct Options {
    Algorithm algorithm = Algorithm::automatic;
    std::size_t tableBudgetCells = defaultTableBudgetCells;
    /// A tiny budget forces deep checkpoint recursion, which tests use to exercise it.
    std::size_t rowBudgetBytes = defaultRowBudgetBytes;
};

/// One step of the edit script turning the old lines into the new ones.
enum class Op : std::uint8_t { equal, remove, insert };

/// Splits at every "\n", dropping the separators and nothing else; "" gives one empty line and a
/// trailing "\n" gives a final empty line. The views point into `text`.
std::vector<std::string_view> splitLines(std::string_view text);

/// The edit script from `a` to `b`; lines are compared as exact text.
std::vector<Op> diffOps(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b,
                        const Options& options = {});

/// For each op: shown or not, given the number of context lines (below 1 counts as 1).
std::vector<bool> markKept(const std::vector<Op>& ops, int context);

Result unified(std::string_view oldText, std::string_view newText, int context, const Options& options);

} // namespace LineDiff

// ---- JSON ------------------------------------------------------------------------------------
// The kind encodes as its raw value and an unknown raw value fails to decode; a FileDiff encodes
// with its field names as keys.

void to_json(nlohmann::json& j, FileDiff::Kind kind);
void from_json(const nlohmann::json& j, FileDiff::Kind& kind);
void to_json(nlohmann::json& j, const FileDiff& diff);
void from_json(const nlohmann::json& j, FileDiff& diff);

} // namespace stowage
