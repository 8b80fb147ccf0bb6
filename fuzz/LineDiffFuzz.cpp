// Restore previews: LineDiff on two arbitrary texts (the file on disk and the backup copy), and
// SecretsBundle::diff, which reads the disk side from a real file and decodes both sides as lossy
// UTF-8.
//
// The input is split by InputSplitter into a context width, a row budget and the two texts.
// Checks beyond "no crash, no sanitizer report":
// - the table and the bit-parallel algorithm (with the default and with a tiny row budget, which
//   forces checkpoint recursion) give the identical edit script;
// - the script replays: equal steps pair equal lines, and it consumes both sides exactly;
// - it is a longest common subsequence, by an independent dynamic programme;
// - the unified result counts its insertions and deletions, and "…" never opens, closes or repeats;
// - SecretsBundle::diff answers identical exactly for equal bytes.

#include "core/Diff.hpp"
#include "core/FileAccess.hpp"
#include "core/SecretsBundle.hpp"

#include "InputSplitter.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace stowage;
using LineDiff::Op;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

std::size_t lcsLength(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    std::vector<std::size_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
    for (std::size_t i = a.size(); i-- > 0;) {
        for (std::size_t j = b.size(); j-- > 0;)
            next[j] = a[i] == b[j] ? row[j + 1] + 1 : std::max(row[j], next[j + 1]);
        std::swap(row, next);
    }
    return row[0];
}

void checkScript(const std::vector<Op>& ops, const std::vector<std::string_view>& a,
                 const std::vector<std::string_view>& b) {
    std::size_t i = 0, j = 0, equal = 0;
    for (Op op : ops) {
        switch (op) {
        case Op::equal:
            if (i >= a.size() || j >= b.size() || a[i] != b[j])
                broken("an equal step pairs different lines");
            ++i, ++j, ++equal;
            break;
        case Op::remove:
            if (i >= a.size())
                broken("a remove step runs past the old text");
            ++i;
            break;
        case Op::insert:
            if (j >= b.size())
                broken("an insert step runs past the new text");
            ++j;
            break;
        }
    }
    if (i != a.size() || j != b.size())
        broken("the edit script does not consume both texts");
    if (equal != lcsLength(a, b))
        broken("the edit script is not a longest common subsequence");
}

const std::string& scratchFile() {
    static const std::string path = [] {
        char pattern[] = "/tmp/stowage-fuzz-diff-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0)
            broken("cannot create the scratch file");
        ::close(fd);
        return std::string(pattern);
    }();
    return path;
}

void writeScratch(const std::string& content) {
    const int fd = ::open(scratchFile().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        broken("cannot write the scratch file");
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputSplitter input(data, size);
    const int context = input.takeInRange<int>(-2, 6);
    const std::size_t rowBudget = input.takeInRange<std::size_t>(1, 512);
    const std::string oldText = input.takeString(size);
    const std::string newText = input.takeRest();

    const auto a = LineDiff::splitLines(oldText);
    const auto b = LineDiff::splitLines(newText);

    LineDiff::Options table;
    table.algorithm = LineDiff::Algorithm::table;
    LineDiff::Options bits;
    bits.algorithm = LineDiff::Algorithm::bitParallel;
    LineDiff::Options tinyBits = bits;
    tinyBits.rowBudgetBytes = rowBudget;

    const auto reference = LineDiff::diffOps(a, b, table);
    checkScript(reference, a, b);
    if (LineDiff::diffOps(a, b, bits) != reference)
        broken("the bit-parallel script differs from the table's");
    if (LineDiff::diffOps(a, b, tinyBits) != reference)
        broken("the bit-parallel script with a tiny row budget differs from the table's");

    const LineDiff::Result result = LineDiff::unified(oldText, newText, context);
    const auto inserts = std::count(reference.begin(), reference.end(), Op::insert);
    const auto removes = std::count(reference.begin(), reference.end(), Op::remove);
    if (result.added != inserts || result.removed != removes)
        broken("the unified diff miscounts its changes");
    const std::string ellipsis = "\u2026";
    if (!result.hunks.empty() && (result.hunks.front() == ellipsis || result.hunks.back() == ellipsis))
        broken("the unified diff opens or closes with an ellipsis");
    for (std::size_t k = 1; k < result.hunks.size(); ++k) {
        if (result.hunks[k] == ellipsis && result.hunks[k - 1] == ellipsis)
            broken("the unified diff repeats an ellipsis");
    }

    writeScratch(oldText);
    DirectFileAccess access;
    const Bytes incoming(newText.begin(), newText.end());
    const FileDiff diff = SecretsBundle::diff(incoming, scratchFile(), access);
    if ((diff.kind == FileDiff::Kind::identical) != (oldText == newText))
        broken("SecretsBundle::diff calls different bytes identical or equal bytes different");
    return 0;
}
