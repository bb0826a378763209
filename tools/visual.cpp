// What mux and add-video must know of an MPEG-4 Visual stream (ISO/IEC
// 14496-2) before they write it: its frame rate, and whether it holds
// B-frames, which an MP4 file can only carry with composition offsets (the
// writer has none).
//
// The rate: a video object layer with fixed_vop_rate set states it as
// vop_time_increment_resolution / fixed_vop_time_increment.  Otherwise the
// time stamps of the first pictures tell it: each plane's time is
// (time base) * resolution + vop_time_increment, where the time base counts
// whole seconds (modulo_time_base, reset by a group-of-VOP header's time
// code; a B-plane counts from the time base before the last I- or P-plane).
// The smallest step between those times is one frame.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/platform.h"
#include "remux/remux.h"

namespace {

// Pictures looked at for the rate and for B-frames before anything is
// written; later B-frames are found while the stream is written.
constexpr uint32_t kSurveyFrames = 64;
// The bytes before the first plane that are searched for the header.
constexpr size_t kHeaderBytes = 4096;

// Bits of a byte string, most significant first; reads past the end give
// zeros and set `past`.
struct Bits {
    const uint8_t *bytes;
    size_t size;
    size_t at = 0;  // in bits
    bool past = false;
    uint32_t Read(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++at) {
            const size_t byte = at / 8;
            if (byte >= size) {
                past = true;
                value <<= 1;
                continue;
            }
            value = value << 1 | ((bytes[byte] >> (7 - at % 8)) & 1u);
        }
        return value;
    }
};

// The bits of vop_time_increment: enough for resolution - 1, at least 1.
int IncrementBits(uint32_t resolution) {
    int bits = 1;
    while (bits < 16 && (uint32_t(1) << bits) < resolution) ++bits;
    return bits;
}

// The position after the next start code 00 00 01 whose fourth byte
// satisfies `wanted`, from `from`; `size` when there is none.
template <typename Wanted>
size_t FindStartCode(const uint8_t *b, size_t size, size_t from, Wanted wanted) {
    for (size_t i = from; i + 4 <= size; ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && wanted(b[i + 3])) return i + 4;
    return size;
}

// The timing fields of a video object layer header, which starts right
// after its start code (00 00 01 20..2F).
bool ParseVolTiming(const uint8_t *b, size_t size, VisualTiming *t) {
    Bits bits{b, size};
    bits.Read(1 + 8);  // random_accessible_vol, video_object_type_indication
    uint32_t verid = 1;
    if (bits.Read(1)) {  // is_object_layer_identifier
        verid = bits.Read(4);
        bits.Read(3);
    }
    if (bits.Read(4) == 15) bits.Read(16);  // aspect_ratio_info, par_width and par_height
    if (bits.Read(1)) {                     // vol_control_parameters
        bits.Read(3);                       // chroma_format, low_delay
        if (bits.Read(1)) bits.Read(79);    // vbv_parameters
    }
    const uint32_t shape = bits.Read(2);
    if (shape == 3 && verid != 1) bits.Read(4);  // video_object_layer_shape_extension
    bits.Read(1);
    t->resolution = bits.Read(16);
    bits.Read(1);
    t->fixedIncrement = bits.Read(1) ? bits.Read(IncrementBits(t->resolution)) : 0;
    t->incrementBits = IncrementBits(t->resolution);
    return !bits.past && t->resolution > 0;
}

// A group-of-VOP header's time code in seconds (it starts after 00 00 01 B3).
uint32_t GovSeconds(const uint8_t *b, size_t size) {
    Bits bits{b, size};
    const uint32_t hours = bits.Read(5), minutes = bits.Read(6);
    bits.Read(1);
    const uint32_t seconds = bits.Read(6);
    return (hours * 60 + minutes) * 60 + seconds;
}

struct Clock {
    uint64_t base = 0, lastBase = 0;
};

// The time of a plane, in units of 1 / resolution; false when its header
// cannot be read.  `plane` starts with the start code 00 00 01 B6.
bool PlaneTime(const uint8_t *plane, size_t size, const VisualTiming &t, Clock *clock, uint64_t *time) {
    Bits bits{plane + 4, size - 4};
    const uint32_t type = bits.Read(2);
    uint32_t seconds = 0;
    while (bits.Read(1) == 1 && !bits.past) ++seconds;
    bits.Read(1);
    const uint32_t increment = bits.Read(t.incrementBits);
    if (bits.past) return false;
    uint64_t base;
    if (type != kPlaneB) {
        clock->lastBase = clock->base;
        clock->base += seconds;
        base = clock->base;
    } else {
        base = clock->lastBase + seconds;
    }
    *time = base * t.resolution + increment;
    return true;
}

// The group-of-VOP header inside a frame (it stands after the plane, before
// the next one), if any.
bool GovIn(const uint8_t *b, size_t size, uint32_t *seconds) {
    const size_t at = FindStartCode(b, size, 4, [](uint8_t c) { return c == 0xB3; });
    if (at >= size) return false;
    *seconds = GovSeconds(b + at, size - at);
    return true;
}

}  // namespace

int PlaneCodingType(const uint8_t *frame, size_t size) { return size > 4 ? frame[4] >> 6 : -1; }

std::string SurveyVisual(FILE *file, uint64_t size, VisualSurvey *survey) {
    *survey = VisualSurvey{};
    // The header: the video object layer before the first plane.
    std::vector<uint8_t> head(size_t(std::min<uint64_t>(size, kHeaderBytes)));
    if (!SetStreamPosition(file, 0) || std::fread(head.data(), 1, head.size(), file) != head.size())
        return "cannot be read";
    const size_t firstPlane = FindStartCode(head.data(), head.size(), 0, [](uint8_t c) { return c == 0xB6; });
    const size_t vol = FindStartCode(head.data(), firstPlane, 0, [](uint8_t c) { return (c & 0xF0) == 0x20; });
    survey->timed = vol < firstPlane && ParseVolTiming(head.data() + vol, firstPlane - vol, &survey->timing);
    Clock clock;
    uint32_t gov = 0;
    if (GovIn(head.data(), firstPlane, &gov)) clock.base = gov;

    VisualScan scan{};
    if (!SetStreamPosition(file, 0) || !StartVisualScan(&scan, file, size)) return "cannot be read";
    std::vector<uint64_t> times;
    const uint8_t *bytes = nullptr;
    uint32_t frameSize = 0;
    int32_t key = 0, got = 0;
    while (survey->frames < kSurveyFrames && (got = NextVisualFrame(&scan, &bytes, &frameSize, &key)) == 1) {
        if (PlaneCodingType(bytes, frameSize) == kPlaneB && survey->firstB < 0) survey->firstB = survey->frames;
        uint64_t time = 0;
        if (survey->timed && PlaneTime(bytes, frameSize, survey->timing, &clock, &time)) times.push_back(time);
        if (GovIn(bytes, frameSize, &gov)) clock.base = gov;
        ++survey->frames;
    }
    EndVisualScan(&scan);
    if (got < 0) return "holds a frame too large to hold in memory";
    // The smallest step between two pictures' times.
    std::sort(times.begin(), times.end());
    for (size_t i = 1; i < times.size(); ++i) {
        const uint64_t step = times[i] - times[i - 1];
        if (step > 0 && (survey->step == 0 || step < survey->step)) survey->step = uint32_t(std::min<uint64_t>(step, UINT32_MAX));
    }
    return SetStreamPosition(file, 0) ? "" : "cannot be read";
}

std::string RateText(float fps) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", double(fps));
    return text;
}

// A rate the writer's millisecond times can carry: at most one frame a
// millisecond, at least one every 100 seconds.
bool UsableRate(double fps) { return fps >= 0.01 && fps <= 1000; }

std::string ChooseFrameRate(const std::string &command, const std::string &path, const VisualSurvey &s,
                            float *fps) {
    const VisualTiming &t = s.timing;
    if (s.timed && t.fixedIncrement > 0 && UsableRate(double(t.resolution) / t.fixedIncrement)) {
        *fps = float(double(t.resolution) / t.fixedIncrement);
        return "";
    }
    if (s.timed && s.step > 0 && UsableRate(double(t.resolution) / s.step)) {
        *fps = float(double(t.resolution) / s.step);
        return command + ": '" + path + "' does not state a fixed frame rate; its pictures are " +
               std::to_string(s.step) + "/" + std::to_string(t.resolution) + " s apart, so " + RateText(*fps) +
               " frames per second are used (--fps sets the rate)";
    }
    *fps = 25.0f;
    return command + ": the frame rate of '" + path +
           "' cannot be told from its header or its pictures; 25 frames per second are used (--fps "
           "sets the rate)";
}

std::string BFramesText(const std::string &command, const std::string &path, uint32_t picture, bool forced) {
    const std::string what = command + ": '" + path + "' holds B-frames (the first is picture " +
                             std::to_string(picture) + ")";
    if (forced) return what + "; written in decoding order without composition offsets, as --force asks";
    return what + ": an MP4 file of this tool has no composition offsets, so players would show its "
                  "pictures out of order; --force writes it all the same";
}
