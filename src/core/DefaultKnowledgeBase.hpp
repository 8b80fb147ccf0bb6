#pragma once
// The built-in catalog: where each kind of developer state lives, how valuable it is and how painful its
// loss would be, with the texts the audit shows for it.

#include "core/Models.hpp"

#include <vector>

namespace stowage {

class DefaultKnowledgeBase {
public:
    DefaultKnowledgeBase() = delete;

    /// The 47 rules in catalog order: 24 secret, then 16 config, then 7 reproducible. Built once on first
    /// use and never changed afterwards, so the reference stays valid and may be read from any thread.
    /// The order is meaningful: scans visit rules in it and inventories list findings in it.
    static const std::vector<ArtifactRule>& rules();
};

} // namespace stowage
