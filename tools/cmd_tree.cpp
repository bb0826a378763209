// corvane tree: the atom tree of a file, mp4dump style.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atom/atom.h"
#include "cli.h"

namespace {

void PrintNode(const AtomNode *node, int depth) {
    std::fprintf(Out(), "%*s[%s] offset=%u size=%u\n", depth * 2, "", node->type, node->offset,
                 node->size);
    for (const AtomNode *child = node->firstChild; child; child = child->next)
        PrintNode(child, depth + 1);
}

void PrintJson(const AtomNode *node, int depth) {
    std::fprintf(Out(), "%*s{\"type\": \"%s\", \"offset\": %u, \"size\": %u", depth * 2, "",
                 node->type, node->offset, node->size);
    if (node->firstChild) {
        std::fprintf(Out(), ", \"children\": [\n");
        for (const AtomNode *child = node->firstChild; child; child = child->next) {
            PrintJson(child, depth + 1);
            std::fprintf(Out(), child->next ? ",\n" : "\n");
        }
        std::fprintf(Out(), "%*s]", depth * 2, "");
    }
    std::fprintf(Out(), "}");
}

}  // namespace

int RunTree(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    const bool json = TakeFlag(args, "--json");
    TakeFlag(args, "-v");
    if (args.size() > 1) return Fail("tree takes one FILE");
    const std::string path = args.empty() ? DefaultSample() : args[0];
    Root_atom root{};
    root.file = std::fopen(path.c_str(), "rb");
    if (root.file == nullptr) return Fail("cannot open '" + path + "'");
    std::fseek(root.file, 0, SEEK_END);
    const long size = std::ftell(root.file);
    root.fileSize = size > 0 ? uint32_t(size) : 0;
    const bool ok = size > 0 && ReadAtomTree(&root) > 0;
    if (ok && json) {
        std::fprintf(Out(), "[\n");
        for (const AtomNode *atom = root.firstAtom; atom; atom = atom->next) {
            PrintJson(atom, 1);
            std::fprintf(Out(), atom->next ? ",\n" : "\n");
        }
        std::fprintf(Out(), "]\n");
    } else if (ok) {
        for (const AtomNode *atom = root.firstAtom; atom; atom = atom->next) PrintNode(atom, 0);
    }
    FreeAtomTree(&root);
    std::fclose(root.file);
    if (!ok) return Fail("'" + path + "' is not an MP4 file this tool can read");
    return 0;
}
