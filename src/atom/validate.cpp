// Checks a subtree against the catalogue's child rules.  A diagnostic only:
// it prints the first rule a node breaks and its callers go on regardless.
// Only nodes that have children are checked below the node given.
#include <cstdio>

#include "atom/atom.h"

namespace {

uint32_t CountChildren(const AtomNode *node) {
    uint32_t count = 0;
    for (const AtomNode *child = node->firstChild; child != nullptr; child = child->next) ++count;
    return count;
}

// `type` is a rule's code, which holds no NUL.
uint32_t CountChildrenOfType(const AtomNode *node, const char *type) {
    const uint32_t code = TypeCode(type);
    uint32_t count = 0;
    for (const AtomNode *child = node->firstChild; child != nullptr; child = child->next)
        if (TypeCode(child->type) == code) ++count;
    return count;
}

// The checks of one node against its own rules, its children's verdicts
// aside: true, or false after the message of the first check it fails.
bool CheckOwnRules(const AtomNode *node) {
    AtomTypeInfo info{};
    const bool hasRules = GetAtomTypeInfo(node, &info) >= 0 && info.childCount > 0;
    if (node->firstChild == nullptr) {
        if (!hasRules) return true;
        std::printf("\n Without required child atom at [%s] \n", node->type);
        return false;
    }
    if (!hasRules) {
        std::printf("\n This Atom[%s] is not a container atom \n", node->type);
        return false;
    }
    const uint32_t children = CountChildren(node);
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

// A node's descendants that have children of their own are checked before
// the node, each after its own such descendants, so their messages come
// first; their verdicts are not part of the node's.
bool ValidateAtomHierarchy(const AtomNode *node) {
    if (node == nullptr) return false;
    auto *root = const_cast<AtomNode *>(node);
    VisitDescendantsAfter(root, [](AtomNode *child) {
        if (child->firstChild != nullptr) CheckOwnRules(child);
        return true;
    });
    return CheckOwnRules(node);
}
