// Checks a subtree against the catalogue's child rules.  A diagnostic only:
// it prints the first rule a node breaks and its callers go on regardless.
#include <cstdio>

#include "atom/atom.h"

namespace {

uint32_t CountChildren(const AtomNode *node) {
    uint32_t count = 0;
    for (const AtomNode *child = node->firstChild; child != nullptr; child = child->next) ++count;
    return count;
}

uint32_t CountChildrenOfType(const AtomNode *node, const char *type) {
    uint32_t count = 0;
    for (const AtomNode *child = node->firstChild; child != nullptr; child = child->next)
        if (SameAtomType(child->type, type)) ++count;
    return count;
}

bool ValidateAt(const AtomNode *node, int depth);

// Children that are containers themselves are checked first; their verdicts
// are not part of the parent's.
void ValidateChildren(const AtomNode *node, int depth) {
    if (depth >= kMaxAtomDepth) return;
    for (const AtomNode *child = node->firstChild; child != nullptr; child = child->next)
        if (child->firstChild != nullptr) ValidateAt(child, depth + 1);
}

bool ValidateAt(const AtomNode *node, int depth) {
    AtomTypeInfo info{};
    const bool hasRules = GetAtomTypeInfo(node, &info) >= 0 && info.childCount > 0;
    if (node->firstChild == nullptr) {
        if (!hasRules) return true;
        std::printf("\n Without required child atom at [%s] \n", node->type);
        return false;
    }
    const uint32_t children = CountChildren(node);
    ValidateChildren(node, depth);
    if (!hasRules) {
        std::printf("\n This Atom[%s] is not a container atom \n", node->type);
        return false;
    }
    char ruleType[5];
    uint32_t counts[kMaxChildRules] = {};
    uint32_t matched = 0;
    for (uint32_t i = 0; i < info.childCount && i < kMaxChildRules; ++i) {
        CopyAtomType(ruleType, info.childRules[i].type);
        counts[i] = CountChildrenOfType(node, ruleType);
        matched += counts[i];
    }
    if (matched != children) {
        std::printf("\n There exist at lest one atom not belong to this atom[%s] \n", node->type);
        return false;
    }
    for (uint32_t i = 0; i < info.childCount && i < kMaxChildRules; ++i) {
        const ChildRule &rule = info.childRules[i];
        CopyAtomType(ruleType, rule.type);
        if (rule.required == 1 && counts[i] < 1) {
            std::printf("\n This atom[%s] must have such type of atom[%s] \n", node->type,
                        ruleType);
            return false;
        }
        if (rule.occurrence == 1 && counts[i] > 1) {
            std::printf("\n This atom[%s] must only have one such type of atom[%s] \n",
                        node->type, ruleType);
            return false;
        }
    }
    return true;
}

}  // namespace

bool ValidateAtomHierarchy(const AtomNode *node) {
    if (node == nullptr) return false;
    return ValidateAt(node, 0);
}
