// The built-in atom templates of a new file and of each kind of track, and
// the code that turns a template into a tree of atom nodes.
#include <cstring>

#include "write/write.h"

// Within each parent the children stand in table order, which is also the
// order in which they are written.
const AtomTemplate kRootTemplate[] = {
    {nullptr, 6, ""},
    {nullptr, 0, "root"},
    {nullptr, 1, "ftyp"}, {nullptr, 1, "moov"}, {nullptr, 1, "mdat"},
    {nullptr, 3, "mvhd"}, {nullptr, 3, "iods"},
};

#define CORVANE_VIDEO_TEMPLATE(ENTRY, CONFIG)                                            \
    {                                                                                    \
        {nullptr, 19, ""},                                                               \
        {nullptr, 0, "trak"},                                         /* 1 */            \
        {nullptr, 1, "tkhd"}, {nullptr, 1, "mdia"},                   /* 2, 3 */         \
        {nullptr, 3, "mdhd"}, {nullptr, 3, "hdlr"}, {nullptr, 3, "minf"}, /* 4-6 */      \
        {nullptr, 6, "vmhd"}, {nullptr, 6, "dinf"}, {nullptr, 6, "stbl"}, /* 7-9 */      \
        {nullptr, 8, "dref"}, {nullptr, 10, "url "},                  /* 10, 11 */       \
        {nullptr, 9, "stsd"}, {nullptr, 9, "stts"}, {nullptr, 9, "stsz"},  /* 12-14 */   \
        {nullptr, 9, "stsc"}, {nullptr, 9, "stco"}, {nullptr, 9, "stss"},  /* 15-17 */   \
        {nullptr, 12, ENTRY}, {nullptr, 18, CONFIG},                  /* 18, 19 */       \
    }

#define CORVANE_AUDIO_TEMPLATE(ENTRY, CONFIG)                                            \
    {                                                                                    \
        {nullptr, 18, ""},                                                               \
        {nullptr, 0, "trak"},                                         /* 1 */            \
        {nullptr, 1, "tkhd"}, {nullptr, 1, "mdia"},                   /* 2, 3 */         \
        {nullptr, 3, "mdhd"}, {nullptr, 3, "hdlr"}, {nullptr, 3, "minf"}, /* 4-6 */      \
        {nullptr, 6, "smhd"}, {nullptr, 6, "dinf"}, {nullptr, 6, "stbl"}, /* 7-9 */      \
        {nullptr, 8, "dref"}, {nullptr, 10, "url "},                  /* 10, 11 */       \
        {nullptr, 9, "stsd"}, {nullptr, 9, "stts"}, {nullptr, 9, "stsz"},  /* 12-14 */   \
        {nullptr, 9, "stsc"}, {nullptr, 9, "stco"},                   /* 15, 16 */       \
        {nullptr, 12, ENTRY}, {nullptr, 17, CONFIG},                  /* 17, 18 */       \
    }

const AtomTemplate kMpeg4VideoTemplate[] = CORVANE_VIDEO_TEMPLATE("mp4v", "esds");
const AtomTemplate kH263VideoTemplate[] = CORVANE_VIDEO_TEMPLATE("s263", "d263");
const AtomTemplate kAacAudioTemplate[] = CORVANE_AUDIO_TEMPLATE("mp4a", "esds");
const AtomTemplate kAmrAudioTemplate[] = CORVANE_AUDIO_TEMPLATE("samr", "damr");

#undef CORVANE_VIDEO_TEMPLATE
#undef CORVANE_AUDIO_TEMPLATE

// The object-descriptor track refers to the media tracks through tref/mpod.
const AtomTemplate kObjectDescriptorTemplate[] = {
    {nullptr, 20, ""},
    {nullptr, 0, "trak"},                                              // 1
    {nullptr, 1, "tkhd"}, {nullptr, 1, "tref"}, {nullptr, 1, "mdia"},  // 2-4
    {nullptr, 3, "mpod"},                                              // 5
    {nullptr, 4, "mdhd"}, {nullptr, 4, "hdlr"}, {nullptr, 4, "minf"},  // 6-8
    {nullptr, 8, "nmhd"}, {nullptr, 8, "dinf"}, {nullptr, 8, "stbl"},  // 9-11
    {nullptr, 10, "dref"}, {nullptr, 12, "url "},                      // 12, 13
    {nullptr, 11, "stsd"}, {nullptr, 11, "stts"}, {nullptr, 11, "stsz"},  // 14-16
    {nullptr, 11, "stsc"}, {nullptr, 11, "stco"},                      // 17, 18
    {nullptr, 14, "mp4s"}, {nullptr, 19, "esds"},                      // 19, 20
};

const AtomTemplate kSceneTemplate[] = {
    {nullptr, 18, ""},
    {nullptr, 0, "trak"},                                              // 1
    {nullptr, 1, "tkhd"}, {nullptr, 1, "mdia"},                        // 2, 3
    {nullptr, 3, "mdhd"}, {nullptr, 3, "hdlr"}, {nullptr, 3, "minf"},  // 4-6
    {nullptr, 6, "nmhd"}, {nullptr, 6, "dinf"}, {nullptr, 6, "stbl"},  // 7-9
    {nullptr, 8, "dref"}, {nullptr, 10, "url "},                       // 10, 11
    {nullptr, 9, "stsd"}, {nullptr, 9, "stts"}, {nullptr, 9, "stsz"},  // 12-14
    {nullptr, 9, "stsc"}, {nullptr, 9, "stco"},                        // 15, 16
    {nullptr, 12, "mp4s"}, {nullptr, 17, "esds"},                      // 17, 18
};

namespace {

void AppendChild(AtomNode *parent, AtomNode *child) {
    child->parent = parent;
    AtomNode **slot = &parent->firstChild;
    while (*slot != nullptr) slot = &(*slot)->next;
    *slot = child;
}

// A private copy of a template: building writes node pointers into it.
AtomTemplate *CopyTemplate(const AtomTemplate *table) {
    const uint32_t entries = TemplateAtomCount(table) + 1;
    auto *work = static_cast<AtomTemplate *>(AllocZeroed(entries * sizeof(AtomTemplate)));
    if (work != nullptr) std::memcpy(work, table, entries * sizeof(AtomTemplate));
    return work;
}

const AtomTemplate *ChooseTrackTemplate(uint32_t trackType, uint32_t codec) {
    switch (trackType) {
        case kVideoTrack:
            return codec == 1 ? kMpeg4VideoTemplate : codec == 2 ? kH263VideoTemplate : nullptr;
        case kAudioTrack:
            return codec == 1 ? kAacAudioTemplate : codec == 2 ? kAmrAudioTemplate : nullptr;
        case kObjectDescriptorTrack: return kObjectDescriptorTemplate;
        case kSceneTrack: return kSceneTemplate;
        default: return nullptr;
    }
}

}  // namespace

// Builds the nodes of a working copy and links each to its parent, children
// in table order.  When a node cannot be allocated the nodes made so far are
// released (they are not linked yet) and the result is -99.
int32_t BuildTemplateSubtree(AtomNode **top, AtomTemplate *work) {
    if (top == nullptr || work == nullptr) return -99;
    *top = nullptr;
    const uint32_t n = TemplateAtomCount(work);
    if (n == 0) return -99;
    for (uint32_t i = 1; i <= n; ++i) {
        auto *node = static_cast<AtomNode *>(AllocZeroed(sizeof(AtomNode)));
        if (node == nullptr) {
            for (uint32_t j = 1; j < i; ++j) FreeIfSet(work[j].node);
            return -99;
        }
        CopyAtomType(node->type, work[i].type);
        work[i].node = node;
    }
    for (uint32_t p = 1; p <= n; ++p)
        for (uint32_t c = 2; c <= n; ++c)
            if (work[c].parent == p) AppendChild(work[p].node, work[c].node);
    *top = work[1].node;
    return 1;
}

int32_t BuildTrackSubtree(AtomNode **trak, uint32_t trackType, uint32_t codec) {
    if (trak == nullptr) return -99;
    *trak = nullptr;
    const AtomTemplate *table = ChooseTrackTemplate(trackType, codec);
    if (table == nullptr) return -99;
    AtomTemplate *work = CopyTemplate(table);
    if (work == nullptr) return -99;
    AtomNode *top = nullptr;
    const int32_t built = BuildTemplateSubtree(&top, work);
    FreeIfSet(work);
    if (built != 1) return -99;
    top->next = nullptr;
    top->parent = nullptr;
    *trak = top;
    return 1;
}

// The pseudo-atom "root" at the top of the template is only scaffolding: its
// children become the file's top-level list.
int32_t BuildRootTree(Root_atom *root) {
    if (root == nullptr) return -99;
    AtomTemplate *work = CopyTemplate(kRootTemplate);
    if (work == nullptr) return -99;
    AtomNode *top = nullptr;
    const int32_t built = BuildTemplateSubtree(&top, work);
    FreeIfSet(work);
    if (built != 1) return -99;
    root->firstAtom = top->firstChild;
    for (AtomNode *atom = root->firstAtom; atom != nullptr; atom = atom->next)
        atom->parent = nullptr;
    FreeIfSet(top);
    return 1;
}
