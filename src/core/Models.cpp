#include "core/Models.hpp"

#include <algorithm>
#include <limits>

namespace stowage {

// ---- Tier ------------------------------------------------------------------------------------

const std::vector<Tier>& allTiers() {
    static const std::vector<Tier> tiers{Tier::secret, Tier::config, Tier::reproducible};
    return tiers;
}

std::string toString(Tier tier) {
    switch (tier) {
    case Tier::secret:
        return "secret";
    case Tier::config:
        return "config";
    case Tier::reproducible:
        return "reproducible";
    }
    return {};
}

std::optional<Tier> tierFromString(const std::string& raw) {
    for (Tier t : allTiers())
        if (toString(t) == raw)
            return t;
    return std::nullopt;
}

std::string displayName(Tier tier) {
    switch (tier) {
    case Tier::secret:
        return "Secrets";
    case Tier::config:
        return "Config";
    case Tier::reproducible:
        return "Reproducible";
    }
    return {};
}

int sortOrder(Tier tier) { return static_cast<int>(tier); }

std::string blurb(Tier tier) {
    switch (tier) {
    case Tier::secret:
        return "Irreplaceable or painful to reissue \u2014 back up encrypted, never plain git.";
    case Tier::config:
        return "Reproducible but tedious \u2014 belongs in a private dotfiles repo.";
    case Tier::reproducible:
        return "Just a manifest \u2014 regenerate from a lockfile.";
    }
    return {};
}

// ---- Risk ------------------------------------------------------------------------------------

int rawValue(Risk risk) { return static_cast<int>(risk); }

std::optional<Risk> riskFromRaw(int raw) {
    if (raw < 1 || raw > 4)
        return std::nullopt;
    return static_cast<Risk>(raw);
}

std::string label(Risk risk) {
    switch (risk) {
    case Risk::low:
        return "Low";
    case Risk::medium:
        return "Medium";
    case Risk::high:
        return "High";
    case Risk::critical:
        return "Critical";
    }
    return {};
}

// ---- ScanKind --------------------------------------------------------------------------------

std::string toString(ScanKind kind) {
    switch (kind) {
    case ScanKind::paths:
        return "paths";
    case ScanKind::envFiles:
        return "envFiles";
    case ScanKind::command:
        return "command";
    }
    return {};
}

std::optional<ScanKind> scanKindFromString(const std::string& raw) {
    for (ScanKind k : {ScanKind::paths, ScanKind::envFiles, ScanKind::command})
        if (toString(k) == raw)
            return k;
    return std::nullopt;
}

// ---- Sums ------------------------------------------------------------------------------------

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t result = 0;
    if (__builtin_add_overflow(a, b, &result))
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return result;
}

// ---- Finding ---------------------------------------------------------------------------------

std::int64_t Finding::totalBytes() const {
    std::int64_t sum = 0;
    for (const auto& p : paths)
        sum = saturatingAdd(sum, p.bytes);
    return sum;
}

bool Finding::isUnbackedConfigGap() const {
    if (rule.tier != Tier::config)
        return false;
    return std::any_of(paths.begin(), paths.end(), [](const FoundPath& p) { return !p.tracking.isSafe(); });
}

// ---- Inventory -------------------------------------------------------------------------------

std::vector<Finding> Inventory::findingsIn(Tier tier) const {
    std::vector<Finding> result;
    std::copy_if(findings.begin(), findings.end(), std::back_inserter(result),
                 [tier](const Finding& f) { return f.rule.tier == tier; });
    std::stable_sort(result.begin(), result.end(),
                     [](const Finding& a, const Finding& b) { return a.rule.risk > b.rule.risk; });
    return result;
}

std::optional<Risk> Inventory::highestRisk() const {
    std::optional<Risk> best;
    for (const auto& f : findings)
        if (!best || f.rule.risk > *best)
            best = f.rule.risk;
    return best;
}

int Inventory::secretCount() const {
    return static_cast<int>(
        std::count_if(findings.begin(), findings.end(), [](const Finding& f) { return f.rule.tier == Tier::secret; }));
}

const std::vector<Tier>& Inventory::selectableTiers() {
    static const std::vector<Tier> tiers{Tier::secret, Tier::config};
    return tiers;
}

std::vector<std::string> Inventory::selectablePaths() const {
    std::vector<std::string> result;
    for (Tier tier : selectableTiers())
        for (const auto& f : findingsIn(tier))
            for (const auto& p : f.paths)
                result.push_back(p.path);
    return result;
}

std::vector<Finding> Inventory::configGaps() const {
    std::vector<Finding> result;
    std::copy_if(findings.begin(), findings.end(), std::back_inserter(result),
                 [](const Finding& f) { return f.isUnbackedConfigGap(); });
    return result;
}

std::int64_t Inventory::totalBytes() const {
    std::int64_t sum = 0;
    for (const auto& f : findings)
        sum = saturatingAdd(sum, f.totalBytes());
    return sum;
}

// ---- JSON ------------------------------------------------------------------------------------

namespace {
[[noreturn]] void badValue(const std::string& what, const nlohmann::json& j) {
    throw nlohmann::json::other_error::create(501, "unknown " + what + " value " + j.dump(), &j);
}
} // namespace

void to_json(nlohmann::json& j, Tier tier) { j = toString(tier); }
void from_json(const nlohmann::json& j, Tier& tier) {
    auto t = tierFromString(j.get<std::string>());
    if (!t)
        badValue("tier", j);
    tier = *t;
}

void to_json(nlohmann::json& j, Risk risk) { j = rawValue(risk); }
void from_json(const nlohmann::json& j, Risk& risk) {
    if (!j.is_number_integer())
        badValue("risk", j);
    auto r = riskFromRaw(j.get<int>());
    if (!r)
        badValue("risk", j);
    risk = *r;
}

void to_json(nlohmann::json& j, ScanKind kind) { j = toString(kind); }
void from_json(const nlohmann::json& j, ScanKind& kind) {
    auto k = scanKindFromString(j.get<std::string>());
    if (!k)
        badValue("kind", j);
    kind = *k;
}

void to_json(nlohmann::json& j, const ArtifactRule& rule) {
    j = nlohmann::json{{"id", rule.id},         {"title", rule.title}, {"category", rule.category},
                       {"tier", rule.tier},     {"risk", rule.risk},   {"sensitive", rule.sensitive},
                       {"kind", rule.kind},     {"paths", rule.paths}, {"detail", rule.detail}};
    if (rule.recovery)
        j["recovery"] = *rule.recovery;
}

void from_json(const nlohmann::json& j, ArtifactRule& rule) {
    j.at("id").get_to(rule.id);
    j.at("title").get_to(rule.title);
    j.at("category").get_to(rule.category);
    j.at("tier").get_to(rule.tier);
    j.at("risk").get_to(rule.risk);
    j.at("sensitive").get_to(rule.sensitive);
    j.at("kind").get_to(rule.kind);
    j.at("paths").get_to(rule.paths);
    j.at("detail").get_to(rule.detail);
    if (auto it = j.find("recovery"); it != j.end() && !it->is_null())
        rule.recovery = it->get<std::string>();
    else
        rule.recovery.reset();
}

} // namespace stowage
