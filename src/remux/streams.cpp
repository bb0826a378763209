// The raw elementary streams of the remultiplexing: ADTS headers, and the
// scan of an MPEG-4 Visual stream for its video object planes, read in
// bounded pieces.
#include <cstdlib>
#include <cstring>

#include "read/config.h"
#include "remux/remux.h"

// ---------------------------------------------------------------- ADTS

uint32_t AdtsFrameLength(const uint8_t *header) {
    return (uint32_t(header[3] & 0x03) << 11) | (uint32_t(header[4]) << 3) | (header[5] >> 5);
}

// A header with a CRC (protection_absent 0) is usable as well: every frame is
// taken with a 7-byte header, so its 2 CRC bytes stay at the front of the
// frame's payload.
bool IsUsableAdtsHeader(const uint8_t *header) {
    const bool sync = header[0] == 0xFF && (header[1] & 0xF0) == 0xF0;
    return sync && ((header[2] >> 2) & 0x0F) <= 11;
}

uint32_t SamplingFrequencyOfAdts(const uint8_t *header) {
    return SamplingFrequencyOfIndex((header[2] >> 2) & 0x0F);
}

// ---------------------------------------------------------------- MPEG-4 Visual

namespace {

// Moves the bytes of the piece before `upTo` into the frame, or drops them
// before the first plane.
bool TakeInto(VisualScan *scan, size_t upTo) {
    const size_t count = upTo - scan->taken;
    if (scan->inFrame && count > 0) {
        if (scan->frameSize + count > scan->frameCapacity) {
            size_t capacity = scan->frameCapacity ? scan->frameCapacity : kScanPieceBytes;
            while (capacity < scan->frameSize + count) capacity *= 2;
            void *grown = std::realloc(scan->frame, capacity);
            if (grown == nullptr) {
                scan->noMemory = true;
                return false;
            }
            scan->frame = static_cast<uint8_t *>(grown);
            scan->frameCapacity = capacity;
        }
        std::memcpy(scan->frame + scan->frameSize, scan->piece + scan->taken, count);
        scan->frameSize += count;
    }
    scan->taken = upTo;
    return true;
}

// Keeps the bytes not yet scanned and reads more after them.
bool Refill(VisualScan *scan) {
    if (!TakeInto(scan, scan->pos)) return false;
    std::memmove(scan->piece, scan->piece + scan->pos, scan->held - scan->pos);
    scan->held -= scan->pos;
    scan->pos = 0;
    scan->taken = 0;
    const size_t room = kScanPieceBytes - scan->held;
    const size_t want = scan->left < room ? size_t(scan->left) : room;
    const size_t got = want > 0 ? std::fread(scan->piece + scan->held, 1, want, scan->file) : 0;
    scan->held += got;
    scan->left -= got;
    if (got == 0) {
        scan->atEnd = true;
        scan->readShort = scan->left != 0;
    }
    return true;
}

enum class Step { kMoved, kPlane, kEnd, kFailed };

// Moves the scan over the bytes that cannot begin a start code (any byte but
// 00) while four bytes are held from where it stands: each of them would
// move it on by 1, so it lands where the step-by-step scan would next stop.
void SkipToZero(VisualScan *scan) {
    if (scan->held < 4 || scan->pos + 4 > scan->held || scan->piece[scan->pos] == 0) return;
    const size_t limit = scan->held - 3;  // positions with four bytes held
    const void *zero = std::memchr(scan->piece + scan->pos, 0, limit - scan->pos);
    scan->pos = zero != nullptr ? size_t(static_cast<const uint8_t *>(zero) - scan->piece) : limit;
}

// One step of the scan: positions p run from 0 while p + 3 bytes are there;
// at 00 00 01 the scan moves on by 4 (a plane start code when the fourth
// byte is B6), elsewhere by 1.  The skip of 4 is kept exactly, so that the
// planes found are those of a scan of the whole stream in one buffer.
Step ScanStep(VisualScan *scan) {
    SkipToZero(scan);
    if (scan->pos + 4 > scan->held && !scan->atEnd) return Refill(scan) ? Step::kMoved : Step::kFailed;
    if (scan->pos + 3 > scan->held) return Step::kEnd;
    const uint8_t *p = scan->piece + scan->pos;
    if (p[0] != 0 || p[1] != 0 || p[2] != 1) {
        scan->pos += 1;
        return Step::kMoved;
    }
    const bool plane = scan->pos + 3 < scan->held && p[3] == 0xB6;
    if (!plane) {
        scan->pos += 4;
        return Step::kMoved;
    }
    return Step::kPlane;
}

// The key flag of a frame: 1 for an intra-coded plane, whose two top bits of
// the byte 4 positions after the start code are 0.  A frame of only its
// start code is followed by the next plane's start code, whose first byte is
// 0; when such a frame ends the stream there is no byte to read, and it is
// taken as not intra (left to this implementation).
int32_t KeyFlagOf(const VisualScan *scan) {
    if (scan->frameSize > 4) return (scan->frame[4] & 0xC0) == 0 ? 1 : 0;
    return scan->done ? 0 : 1;
}

}  // namespace

bool StartVisualScan(VisualScan *scan, FILE *file, uint64_t limit) {
    *scan = VisualScan{};
    scan->file = file;
    scan->left = file != nullptr ? limit : 0;
    scan->piece = static_cast<uint8_t *>(std::malloc(kScanPieceBytes));
    return scan->piece != nullptr;
}

int32_t NextVisualFrame(VisualScan *scan, const uint8_t **bytes, uint32_t *size, int32_t *keyFlag) {
    if (scan->done) return 0;
    scan->frameSize = 0;
    for (;;) {
        const Step step = ScanStep(scan);
        if (step == Step::kFailed) return -1;
        if (step == Step::kMoved) continue;
        if (step == Step::kEnd) {
            scan->done = true;
            if (!scan->inFrame) return 0;
            if (!TakeInto(scan, scan->held)) return -1;
            break;
        }
        // A plane start code at pos: it ends the frame before it, if any.
        const bool ends = scan->inFrame;
        if (ends && !TakeInto(scan, scan->pos)) return -1;
        if (!ends) TakeInto(scan, scan->pos);  // drops the bytes before the first plane
        scan->inFrame = true;
        scan->pos += 4;
        if (ends) break;
    }
    *bytes = scan->frame;
    *size = uint32_t(scan->frameSize);
    *keyFlag = KeyFlagOf(scan);
    return 1;
}

bool ScanFindsPlane(VisualScan *scan) {
    for (;;) {
        const Step step = ScanStep(scan);
        if (step == Step::kPlane) return true;
        if (step != Step::kMoved) return false;
    }
}

void EndVisualScan(VisualScan *scan) {
    std::free(scan->piece);
    std::free(scan->frame);
    *scan = VisualScan{};
}

// A negative rate gives negative times, which a 32-bit time holds modulo
// 2^32 (-40 ms is 2^32 - 40), as a conversion through a signed 32-bit integer
// gives them.  Left to this implementation: a quotient that no 32-bit integer
// holds (a rate so near 0 that the times pass 32 bits) gives the end it
// passes: 2^32 - 1 above, -2^31 below.
uint32_t VisualFrameTime(uint32_t k, float frameRate) {
    const float ms = float(1000.0 * k) / frameRate;
    if (ms >= 4294967296.0f) return 0xFFFFFFFFu;
    if (ms >= 0.0f) return uint32_t(ms);
    if (ms < -2147483648.0f) return 0x80000000u;
    return uint32_t(int32_t(ms));
}
