// The two-pass allow and deny order shared by the sections that keep an allow list, a deny list
// and an order value: access rules, URL filter, URL blacklists, cookie, header and MIME filters.
//
// With a non-zero order the allow list is scanned first and the default is deny: a client needs
// an allow rule and may then still be denied by a deny rule. With order zero the deny list is
// scanned first and the default is allow: a request passes unless a deny rule matches, and an
// allow rule may then admit it again. Each list stops at its first matching rule; the second list
// is scanned only when the first one matched. Each section reports the verdict its own way.
#pragma once

template <class Rule>
struct AllowDeny {
    bool allowed;
    const Rule* rule;   // the deciding rule; null when the default decided
};

// `allow` and `deny` are any ranges of Rule walked in order; match(const Rule&) answers whether
// one rule matches the request at hand. The result points into the lists it was given.
template <class Rule, class AllowList, class DenyList, class Match>
AllowDeny<Rule> allowdeny_decide(int order, const AllowList& allow, const DenyList& deny, Match&& match)
{
    const auto first_match = [&match](const auto& list) -> const Rule* {
        for (const Rule& rule : list) {
            if (match(rule))
                return &rule;
        }
        return nullptr;
    };
    if (order != 0) {
        const Rule* allowing = first_match(allow);
        if (allowing == nullptr)
            return {false, nullptr};
        if (const Rule* denying = first_match(deny))
            return {false, denying};
        return {true, allowing};
    }
    const Rule* denying = first_match(deny);
    if (denying == nullptr)
        return {true, nullptr};
    if (const Rule* allowing = first_match(allow))
        return {true, allowing};
    return {false, denying};
}
