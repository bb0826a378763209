// The reader's sample index against ffprobe's packet list for every
// ffmpeg-made fixture: offsets, sizes, decoding times, key frames and the
// bytes handed out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "support/bytes.h"
#include "support/read_handle.h"

namespace {

struct Packet {
    int64_t dts = 0;
    uint32_t pos = 0;
    uint32_t size = 0;
    bool key = false;
};

struct Stream {
    std::string type;
    std::vector<Packet> packets;
};

// Lines of key=value pairs separated by '|'.
std::vector<std::map<std::string, std::string>> ProbeRecords(const std::string &args) {
    std::vector<std::map<std::string, std::string>> records;
    std::istringstream lines(RunCommand("ffprobe -v error " + args + " -of compact=p=0"));
    for (std::string line; std::getline(lines, line);) {
        std::map<std::string, std::string> record;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');) {
            const size_t eq = field.find('=');
            if (eq != std::string::npos) record[field.substr(0, eq)] = field.substr(eq + 1);
        }
        if (!record.empty()) records.push_back(record);  // side data leaves blank lines
    }
    return records;
}

std::map<int, Stream> Probe(const std::string &path) {
    std::map<int, Stream> streams;
    for (auto &r : ProbeRecords("-show_entries stream=index,codec_type '" + path + "'"))
        streams[std::stoi(r["index"])].type = r["codec_type"];
    for (auto &r : ProbeRecords("-show_entries packet=stream_index,dts,pos,size,flags '" + path + "'")) {
        Packet p;
        p.dts = std::stoll(r["dts"]);
        p.pos = uint32_t(std::stoul(r["pos"]));
        p.size = uint32_t(std::stoul(r["size"]));
        p.key = r["flags"].find('K') != std::string::npos;
        streams[std::stoi(r["stream_index"])].packets.push_back(p);
    }
    return streams;
}

class ReadInterop : public ::testing::TestWithParam<const char *> {};

// The index of one track against one ffprobe stream.
void CompareIndex(const ReadTrack *track, const Stream &stream) {
    ASSERT_EQ(track->sampleCount, stream.packets.size());
    const int64_t first = stream.packets.empty() ? 0 : stream.packets[0].dts;
    for (uint32_t i = 0; i < track->sampleCount; ++i) {
        const Packet &p = stream.packets[i];
        ASSERT_EQ(track->samples[i].offset, p.pos) << "sample " << i;
        ASSERT_EQ(track->samples[i].size, p.size) << "sample " << i;
        ASSERT_EQ(int64_t(track->samples[i].time), p.dts - first) << "sample " << i;
    }
}

// Every sample handed out in order equals the file's bytes at its offset.
void CompareBytes(MP4_read_file *h, int32_t trackId, const Stream &stream, const Bytes &file) {
    for (size_t i = 0; i < stream.packets.size(); ++i) {
        uint8_t *data = nullptr;
        uint32_t size = 0, time = 0;
        ASSERT_EQ(MP4GetNextSample(h, trackId, &data, &size, &time), 1) << i;
        const Packet &p = stream.packets[i];
        ASSERT_EQ(size, p.size);
        ASSERT_LE(size_t(p.pos) + p.size, file.size());
        EXPECT_TRUE(std::equal(data, data + size, file.begin() + p.pos)) << "sample " << i;
        MP4freeData(&data);
    }
    uint8_t *data = nullptr;
    uint32_t size = 0, time = 0;
    EXPECT_EQ(MP4GetNextSample(h, trackId, &data, &size, &time), -1);
}

// Key frames: the walk from the first, and a seek to (and just after) each.
void CompareKeyFrames(MP4_read_file *h, const ReadTrack *track, const Stream &stream) {
    std::vector<size_t> keys;
    for (size_t i = 0; i < stream.packets.size(); ++i)
        if (stream.packets[i].key) keys.push_back(i);
    ASSERT_EQ(track->keyFrameCount, keys.size());
    ASSERT_EQ(GoToBeginOfKeyFrame(h, h->videoTrackId), 1);
    for (size_t k = 0; k < keys.size(); ++k) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(MP4NextKeyFrame(h, h->videoTrackId, &data, &size), 1);
        EXPECT_EQ(size, stream.packets[keys[k]].size) << "key " << k;
        MP4freeData(&data);
    }
    const int64_t first = stream.packets[0].dts;
    for (size_t k = 0; k < keys.size(); ++k) {
        const int32_t time = int32_t(stream.packets[keys[k]].dts - first);
        for (int32_t t : {time, time + 1}) {
            uint8_t *data = nullptr;
            uint32_t size = 0;
            EXPECT_EQ(SeekTrack(h, h->videoTrackId, t, &data, &size), time) << "key " << k;
            EXPECT_EQ(size, stream.packets[keys[k]].size);
            EXPECT_EQ(h->videoCursor, int32_t(keys[k] + 1));
            MP4freeData(&data);
            EXPECT_EQ(GetSample(h, h->videoTrackId, time, &data, &size), time);
            MP4freeData(&data);
        }
    }
}

TEST_P(ReadInterop, IndexMatchesFfprobe) {
    if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
    const std::string path = Fixture(GetParam());
    const std::map<int, Stream> streams = Probe(path);
    ASSERT_FALSE(streams.empty());
    const Bytes file = ReadFileBytes(path);
    OpenedFile f(path);
    ASSERT_EQ(f.result, 1);
    testing::internal::CaptureStdout();  // the sample functions talk a lot
    for (const auto &[index, stream] : streams) {
        SCOPED_TRACE(stream.type);
        const bool video = stream.type == "video";
        const int32_t id = video ? f.handle->videoTrackId : f.handle->audioTrackId;
        ASSERT_NE(id, 0);
        const ReadTrack *track = f.Track(id);
        CompareIndex(track, stream);
        CompareBytes(f.handle, id, stream, file);
        if (video) CompareKeyFrames(f.handle, track, stream);
    }
    testing::internal::GetCapturedStdout();
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
