#pragma once
// The built-in catalog: where each kind of developer state lives, how valuable it is and how painful its
// loss would be, with the texts the audit shows for it.

#include "core/Models.hpp"

#include <cstddef>
#include <vector>

namespace stowage {

class DefaultKnowledgeBase {
public:
    DefaultKnowledgeBase() = delete;

    /// The rules in catalog order: the 47 original rules (24 secret, then 16 config, then 7 reproducible),
    /// followed by the rules for Linux desktops and tools in the same tier order. Built once on first use
    /// and never changed afterwards, so the reference stays valid and may be read from any thread. The
    /// order is meaningful: scans visit rules in it and inventories list findings in it.
    static constexpr std::size_t originalRuleCount = 47;
    static const std::vector<ArtifactRule>& rules();
};

} // namespace stowage
