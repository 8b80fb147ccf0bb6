#pragma once
// The vocabulary of findings: how valuable an artifact is (Tier), how bad its loss is (Risk),
// how the scanner looks for it (ScanKind), the catalog entry (ArtifactRule), what was found
// (FoundPath, GitTracking, Finding) and one scan's result (Inventory).

#include "core/Types.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stowage {

// ---- Tier ------------------------------------------------------------------------------------

enum class Tier { secret, config, reproducible };

const std::vector<Tier>& allTiers();
std::string toString(Tier tier);
std::optional<Tier> tierFromString(const std::string& raw);
std::string displayName(Tier tier);
int sortOrder(Tier tier);
std::string blurb(Tier tier);

// ---- Risk ------------------------------------------------------------------------------------

/// Ordered low < medium < high < critical, the same order as the raw values 1–4.
enum class Risk : int { low = 1, medium = 2, high = 3, critical = 4 };

int rawValue(Risk risk);
std::optional<Risk> riskFromRaw(int raw);
std::string label(Risk risk);

// ---- ScanKind --------------------------------------------------------------------------------

enum class ScanKind { paths, envFiles, command };

std::string toString(ScanKind kind);
std::optional<ScanKind> scanKindFromString(const std::string& raw);

// ---- ArtifactRule ----------------------------------------------------------------------------

struct ArtifactRule {
    std::string id;
    std::string title;
    std::string category;
    Tier tier;
    Risk risk;
    bool sensitive;
    ScanKind kind;
    std::vector<std::string> paths;
    std::string detail;
    std::optional<std::string> recovery;

    bool operator==(const ArtifactRule&) const = default;
};

// ---- GitTracking -----------------------------------------------------------------------------

struct GitTracking {
    enum class Case { tracked, untracked, unknown, notInRepo };

    Case kind = Case::unknown;
    /// Repository root folder; meaningful only for `tracked` and `untracked`.
    std::string repo;

    static GitTracking tracked(std::string repoRoot) { return {Case::tracked, std::move(repoRoot)}; }
    static GitTracking untracked(std::string repoRoot) { return {Case::untracked, std::move(repoRoot)}; }
    static GitTracking unknown() { return {Case::unknown, {}}; }
    static GitTracking notInRepo() { return {Case::notInRepo, {}}; }

    bool isSafe() const { return kind == Case::tracked; }
    bool operator==(const GitTracking& other) const {
        if (kind != other.kind)
            return false;
        return (kind == Case::tracked || kind == Case::untracked) ? repo == other.repo : true;
    }
};

// ---- FoundPath, Finding, Inventory -----------------------------------------------------------

struct FoundPath {
    std::string path;
    bool isDirectory;
    /// The size reported for this one entry; for a folder this is not a recursive total.
    std::int64_t bytes;
    std::optional<Timestamp> modified;
    GitTracking tracking;

    bool operator==(const FoundPath&) const = default;
};

struct Finding {
    ArtifactRule rule;
    std::vector<FoundPath> paths;

    /// Sum of the paths' bytes; saturates at the int64 limits instead of wrapping.
    std::int64_t totalBytes() const;
    bool isUnbackedConfigGap() const;

    bool operator==(const Finding&) const = default;
};

struct Inventory {
    std::vector<Finding> findings;
    Timestamp scannedAt;

    /// Findings of one tier, stably ordered by risk, highest first.
    std::vector<Finding> findingsIn(Tier tier) const;
    std::optional<Risk> highestRisk() const;
    int secretCount() const;
    static const std::vector<Tier>& selectableTiers();
    std::vector<std::string> selectablePaths() const;
    std::vector<Finding> configGaps() const;
    /// Saturating sum of every finding's totalBytes.
    std::int64_t totalBytes() const;
};

/// a + b clamped to the int64 range: byte sums never wrap.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);

// ---- JSON ------------------------------------------------------------------------------------
// Enumerations encode as their raw values; decoding an unknown raw value throws
// nlohmann::json::exception (type_error / out_of_range) like any other malformed input.

void to_json(nlohmann::json& j, Tier tier);
void from_json(const nlohmann::json& j, Tier& tier);
void to_json(nlohmann::json& j, Risk risk);
void from_json(const nlohmann::json& j, Risk& risk);
void to_json(nlohmann::json& j, ScanKind kind);
void from_json(const nlohmann::json& j, ScanKind& kind);
/// Keys are exactly the field names; "recovery" is written only when present and optional on read.
void to_json(nlohmann::json& j, const ArtifactRule& rule);
void from_json(const nlohmann::json& j, ArtifactRule& rule);

} // namespace stowage
