// Files written by the writer, read back by the reader: every sample keeps
// its bytes, its decoding time and its key-frame mark.  (Files with the
// object-descriptor and scene tracks end with their access units after mdat,
// outside any box, which the reader's top-level scan does not accept; the
// round trip uses the media tracks alone.)
#include <gtest/gtest.h>

#include <tuple>

#include "read/read.h"
#include "support/read_handle.h"
#include "support/writer_session.h"

namespace {

TEST(WriterRoundTrip, EverySampleReadsBack) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    ASSERT_EQ(s.Audio(), 1);
    const std::vector<uint32_t> videoTimes = Steps(2100, 40), audioTimes = Steps(65, 1024);  // 2100: two blocks
    // Sizes and key flags repeat: every twelfth video frame is a key frame.
    const std::vector<uint32_t> videoSizes = {3, 4, 5, 6, 7, 8, 9}, audioSizes = {6, 7, 8, 9, 10};
    std::vector<bool> keys(12, false);
    keys[0] = true;
    s.VideoFrames(videoTimes, videoSizes, keys);
    s.AudioFrames(audioTimes, audioSizes);
    s.Flush();

    OpenedFile f(s.out);
    ASSERT_EQ(f.result, 1) << f.output;
    const ReadTrack *v = f.Track(f.handle->videoTrackId);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->keyFrameCount, 175u);
    for (uint32_t k = 0; k < v->keyFrameCount; ++k) {
        EXPECT_EQ(v->keyFrames[k].sampleNumber, 12 * k);
        EXPECT_EQ(v->keyFrames[k].time, 12 * k * 40);
    }
    for (const auto &[id, times, sizes] : {std::tuple{f.handle->videoTrackId, videoTimes, videoSizes},
                                           {f.handle->audioTrackId, audioTimes, audioSizes}}) {
        const std::vector<ReadSample> samples = ReadAllSamples(f.handle, id);
        ASSERT_EQ(samples.size(), times.size()) << id;
        for (size_t i = 0; i < samples.size(); ++i) {
            EXPECT_EQ(samples[i].time, times[i]) << i;
            ASSERT_EQ(samples[i].bytes, FrameBytes(uint32_t(i), sizes[i % sizes.size()])) << i;
        }
    }
}

}  // namespace
