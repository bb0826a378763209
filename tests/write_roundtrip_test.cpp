// Files written by the writer, read back by the reader: every sample keeps
// its bytes, its decoding time and its key-frame mark.  (Files with the
// object-descriptor and scene tracks end with their access units after mdat,
// outside any box, which the reader's top-level scan does not accept; the
// round trip uses the media tracks alone.)
#include <gtest/gtest.h>

#include <cstdlib>

#include "read/read.h"
#include "support/bytes.h"
#include "support/writer_session.h"

namespace {

struct Written {
    std::vector<uint32_t> times, sizes;
};

void ExpectTrackReadsBack(MP4_read_file *h, int32_t trackId, const Written &w) {
    for (size_t i = 0; i < w.times.size(); ++i) {
        uint8_t *data = nullptr;
        uint32_t size = 0, time = 0;
        ASSERT_EQ(MP4GetNextSample(h, trackId, &data, &size, &time), 1) << i;
        EXPECT_EQ(time, w.times[i]) << i;
        ASSERT_EQ(size, w.sizes[i]) << i;
        EXPECT_EQ(Bytes(data, data + size), FrameBytes(uint32_t(i), size)) << i;
        MP4freeData(&data);
    }
    uint8_t *data = nullptr;
    uint32_t size = 0, time = 0;
    EXPECT_EQ(MP4GetNextSample(h, trackId, &data, &size, &time), -1);
}

TEST(WriterRoundTrip, EverySampleReadsBack) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    ASSERT_EQ(s.Audio(), 1);
    Written video, audio;
    std::vector<bool> keys;
    for (uint32_t i = 0; i < 2100; ++i) {  // more than one block
        video.times.push_back(i * 40);
        video.sizes.push_back(3 + i % 7);
        keys.push_back(i % 12 == 0);
    }
    for (uint32_t i = 0; i < 65; ++i) {
        audio.times.push_back(i * 1024);
        audio.sizes.push_back(6 + i % 5);
    }
    for (size_t i = 0; i < video.times.size(); ++i) {
        const Bytes b = FrameBytes(uint32_t(i), video.sizes[i]);
        ASSERT_EQ(AddVideoFrame(s.file, uint32_t(b.size()), b.data(), video.times[i], keys[i] ? 1 : 0), 1);
    }
    for (size_t i = 0; i < audio.times.size(); ++i) {
        const Bytes b = FrameBytes(uint32_t(i), audio.sizes[i]);
        ASSERT_EQ(AddAudioFrame(s.file, uint32_t(b.size()), b.data(), audio.times[i]), 1);
    }
    s.Flush();

    // The reader reports every track id it probes on standard output.
    MP4_read_file *h = nullptr;
    testing::internal::CaptureStdout();
    const int32_t opened = MP4FileOpen(&h, s.out.c_str());
    const std::string report = testing::internal::GetCapturedStdout();
    ASSERT_EQ(opened, 1) << report;
    const ReadTrack *v = h->tracks[h->videoTrackId];
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->sampleCount, 2100u);
    ASSERT_EQ(v->keyFrameCount, 175u);
    for (uint32_t k = 0; k < v->keyFrameCount; ++k) {
        EXPECT_EQ(v->keyFrames[k].sampleNumber, 12 * k);
        EXPECT_EQ(v->keyFrames[k].time, 12 * k * 40);
    }
    testing::internal::CaptureStdout();
    ExpectTrackReadsBack(h, h->videoTrackId, video);
    ExpectTrackReadsBack(h, h->audioTrackId, audio);
    const std::string reading = testing::internal::GetCapturedStdout();
    if (HasFailure()) std::fputs(reading.c_str(), stdout);
    MP4FileClose(&h);
    std::free(h);
}

}  // namespace
