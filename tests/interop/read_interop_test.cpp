// The reader's sample index (and `corvane samples --json`) against ffprobe's
// packet list for every ffmpeg-made fixture: offsets, sizes, decoding times,
// key frames and the bytes handed out.
#include <cctype>

#include "support/interop.h"

namespace {

class ReadInterop : public ::testing::TestWithParam<const char *> {};

TEST_P(ReadInterop, IndexMatchesFfprobe) {
    SKIP_WITHOUT_FFMPEG();
    const std::string path = Fixture(GetParam());
    const Bytes file = ReadFileBytes(path);
    OpenedFile f(path);
    ASSERT_EQ(f.result, 1);
    for (const bool video : {true, false}) {
        SCOPED_TRACE(video ? "video" : "audio");
        const std::vector<Packet> packets = ProbePackets(path, video ? "v" : "a");
        const int32_t id = video ? f.handle->videoTrackId : f.handle->audioTrackId;
        ASSERT_EQ(id != 0, !packets.empty());
        if (packets.empty()) continue;
        const ReadTrack *track = f.handle->tracks[id];
        ASSERT_EQ(track->sampleCount, packets.size());
        const std::vector<Packet> listed = ToolPackets(path, video ? "video" : "audio");
        ASSERT_EQ(listed.size(), packets.size());
        std::vector<size_t> keys;
        for (uint32_t i = 0; i < track->sampleCount; ++i) {
            const Packet &p = packets[i];
            const SampleEntry entry = SampleAt(track, i);
            ASSERT_EQ(entry.offset, p.pos) << i;
            ASSERT_EQ(entry.size, p.size) << i;
            ASSERT_EQ(entry.time, p.dts) << i;
            EXPECT_TRUE(listed[i] == p && listed[i].pos == p.pos) << i;
            if (p.key) keys.push_back(i);
            // Every sample handed out in order equals the file's bytes at its offset.
            uint8_t *data = nullptr;
            uint32_t size = 0, t = 0;
            Printed([&] { ASSERT_EQ(MP4GetNextSample(f.handle, id, &data, &size, &t), 1) << i; });
            ASSERT_EQ(size, p.size);
            EXPECT_TRUE(std::equal(data, data + size, file.begin() + p.pos)) << i;
            MP4freeData(&data);
        }
        if (!video) continue;
        // Key frames: the walk from the first, and a seek to (and just after) each.
        ASSERT_EQ(track->keyFrameCount, keys.size());
        Printed([&] {
            ASSERT_EQ(GoToBeginOfKeyFrame(f.handle, id), 1);
            for (size_t k : keys) {
                uint8_t *data = nullptr;
                uint32_t size = 0;
                ASSERT_EQ(MP4NextKeyFrame(f.handle, id, &data, &size), 1);
                EXPECT_EQ(size, packets[k].size) << k;
                MP4freeData(&data);
                const int32_t time = int32_t(packets[k].dts);
                for (int32_t t : {time, time + 1}) {
                    const int32_t keyCursor = f.handle->keyCursor;
                    EXPECT_EQ(SeekTrack(f.handle, id, t, &data, &size), time) << k;
                    EXPECT_EQ(size, packets[k].size);
                    EXPECT_EQ(f.handle->videoCursor, int32_t(k + 1));
                    f.handle->keyCursor = keyCursor;
                    MP4freeData(&data);
                }
            }
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReadInterop,
                         ::testing::Values("av.mp4", "av_moov_last.mp4", "audio.mp4", "video.mp4",
                                           "long_video.mp4", "xvid.mp4"),
                         [](const auto &info) {
                             std::string name = info.param;
                             for (char &c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
