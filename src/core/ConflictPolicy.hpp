#pragma once
// What a restore does when the target of an entry already exists.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stowage {

/// Raw values "overwrite", "skip", "writeBeside"; stored and exchanged as the raw value.
enum class ConflictPolicy { overwrite, skip, writeBeside };

/// Appended to the whole target path to form the path written beside an existing file.
inline constexpr std::string_view besideSuffix = ".stowage-restored";

/// Every policy, in the order they are offered to the user.
const std::vector<ConflictPolicy>& allConflictPolicies();
std::string toString(ConflictPolicy policy);
std::optional<ConflictPolicy> conflictPolicyFromString(const std::string& raw);
/// "Overwrite", "Skip existing", "Write beside".
std::string displayName(ConflictPolicy policy);
/// The one-sentence explanation shown under the choice.
std::string blurb(ConflictPolicy policy);

/// `target` followed by besideSuffix: "notes.txt" becomes "notes.txt.stowage-restored", never
/// "notes.stowage-restored.txt".
std::string besidePath(const std::string& target);

/// Encodes as the raw value; any other string (or a non-string) fails to decode.
void to_json(nlohmann::json& j, ConflictPolicy policy);
void from_json(const nlohmann::json& j, ConflictPolicy& policy);

} // namespace stowage
