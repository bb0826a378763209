// The reader's sample index (and `corvane samples --json`) against ffprobe's
// packet list for every ffmpeg-made fixture: offsets, sizes, decoding times,
// key frames and the bytes handed out.
#include <gtest/gtest.h>

#include <cctype>

#include "support/read_handle.h"

namespace {

struct Packet {
    int64_t dts;
    uint32_t pos, size;
    bool key;
};

// ffprobe's packets of the first stream of a kind ("v" or "a").
std::vector<Packet> ProbePackets(const std::string &path, const char *kind) {
    std::vector<Packet> packets;
    for (Record &r : ProbeRecords(std::string("-select_streams ") + kind +
                                  ":0 -show_entries packet=dts,pos,size,flags '" + path + "'"))
        packets.push_back({std::stoll(r["dts"]), uint32_t(std::stoul(r["pos"])),
                           uint32_t(std::stoul(r["size"])), r["flags"].find('K') != std::string::npos});
    return packets;
}

// `corvane samples --json` as the same list.
std::vector<Packet> ToolPackets(const std::string &path, const char *track) {
    std::vector<Packet> packets;
    std::istringstream lines(Corvane(std::string("samples --json --track ") + track + " '" + path + "'"));
    for (std::string line; std::getline(lines, line);) {
        unsigned index, dts, pos, size, key;
        if (std::sscanf(line.c_str(), "  {\"index\": %u, \"dts\": %u, \"pos\": %u, \"size\": %u, \"key\": %u",
                        &index, &dts, &pos, &size, &key) == 5)
            packets.push_back({dts, pos, size, key != 0});
    }
    return packets;
}

class ReadInterop : public ::testing::TestWithParam<const char *> {};

TEST_P(ReadInterop, IndexMatchesFfprobe) {
    if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
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
        const ReadTrack *track = f.Track(id);
        ASSERT_EQ(track->sampleCount, packets.size());
        const std::vector<Packet> listed = ToolPackets(path, video ? "video" : "audio");
        ASSERT_EQ(listed.size(), packets.size());
        std::vector<size_t> keys;
        for (uint32_t i = 0; i < track->sampleCount; ++i) {
            const Packet &p = packets[i];
            const int64_t time = p.dts - packets[0].dts;
            ASSERT_EQ(track->samples[i].offset, p.pos) << i;
            ASSERT_EQ(track->samples[i].size, p.size) << i;
            ASSERT_EQ(int64_t(track->samples[i].time), time) << i;
            EXPECT_EQ(listed[i].pos, p.pos) << i;
            EXPECT_EQ(listed[i].size, p.size) << i;
            EXPECT_EQ(listed[i].dts, time) << i;
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
                const int32_t time = int32_t(packets[k].dts - packets[0].dts);
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
