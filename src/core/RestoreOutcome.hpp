#pragma once
// The result of restoring one entry — or, in a dry run, what restoring it would do.

#include "core/Diff.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace stowage {

struct RestoreOutcome {
    /// Raw values "restored", "wroteBeside", "skipped", "unchanged", "failed".
    enum class Action {
        /// Written at the target: a new file, or an existing one replaced or merged into.
        restored,
        /// The target existed; written at the target path plus besideSuffix.
        wroteBeside,
        /// The target existed and the policy was `skip`; nothing written.
        skipped,
        /// The target already holds exactly the backed-up content; nothing written or saved.
        unchanged,
        /// Nothing written for this entry, for the reason in `error` (a missing stored copy, a
        /// saved copy that could not be made, a folder standing where a file belongs).
        failed,
    };

    /// The entry's path as recorded in the backup, before any destination or prefix.
    std::string originalPath;
    /// Where the content was (or would be) written, or for `unchanged` where it already is; absent
    /// when the entry was skipped or failed.
    std::optional<std::string> writtenPath;
    Action action = Action::restored;
    /// Preview of the change; present only in dry runs of config files and secrets.
    std::optional<FileDiff> diff;
    /// Path of the saved copy of the file that was replaced; for a folder, the folder of the saved
    /// copies of the files replaced inside it.
    std::optional<std::string> backedUpTo;
    /// Why nothing was written; present exactly when `action` is `failed`.
    std::optional<std::string> error;
    /// For a folder (config folder or project tree): one outcome per file or folder inside it that
    /// was (or would be) written, kept, written beside or failed, in walk order, with recorded paths
    /// below the folder's own. Files already holding the backed-up content are left out.
    std::vector<RestoreOutcome> files;
    /// The entry was skipped because its target is a system file outside the user's own folders and
    /// only root may write there; encoded only when true.
    bool needsRoot = false;

    /// The identity: two outcomes for the same recorded path are the same entry.
    const std::string& id() const { return originalPath; }

    bool operator==(const RestoreOutcome&) const = default;
};

const std::vector<RestoreOutcome::Action>& allRestoreActions();
std::string toString(RestoreOutcome::Action action);
std::optional<RestoreOutcome::Action> restoreActionFromString(const std::string& raw);

/// The action encodes as its raw value (unknown values fail to decode). An outcome encodes with
/// its field names as keys; absent optional fields and an empty `files` are left out and may be
/// missing on decode.
void to_json(nlohmann::json& j, RestoreOutcome::Action action);
void from_json(const nlohmann::json& j, RestoreOutcome::Action& action);
void to_json(nlohmann::json& j, const RestoreOutcome& outcome);
void from_json(const nlohmann::json& j, RestoreOutcome& outcome);

} // namespace stowage
