// Files written through the exports, checked by ffprobe and ffmpeg: the
// streams are recognised with their parameters, every packet keeps its size
// and decoding time, and the media decode without a complaint.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "corvane2.h"
#include "support/bytes.h"
#include "support/streams.h"

namespace {

struct Packet {
    uint32_t size;
    int64_t dts;
};

struct Feed {
    std::vector<StreamFrame> video;
    Bytes videoConfig;
    uint32_t videoStep = 40;  // timescale 1000
    uint32_t videoCodec = 1;
    uint16_t width = 0, height = 0;
    std::vector<StreamFrame> audio;
    AdtsStream adts;
    bool systemsTracks = true;
};

std::string Write(const Feed &feed, const std::string &dir) {
    const std::string out = dir + "/out.mp4";
    const std::string tempv = dir + "/tempv.v", tempa = dir + "/tempa.a";
    MP4_local_file *file = nullptr;
    EXPECT_EQ(MP4FileNew(&file, out.c_str()), 1);
    if (!feed.video.empty()) {
        EXPECT_EQ(CreateTrack(file, 1, feed.width, feed.height, 1000, 1000, 1, 0, 0, 0,
                              uint32_t(feed.videoConfig.size()), feed.videoConfig.data(),
                              tempv.c_str(), feed.videoCodec),
                  1);
    }
    if (!feed.audio.empty()) {
        EXPECT_EQ(CreateTrack(file, 2, 0, 0, 0, feed.adts.sampleRate, 0, feed.adts.objectType - 1,
                              feed.adts.channels, feed.adts.sampleRate, 0, nullptr, tempa.c_str(),
                              1),
                  1);
    }
    if (feed.systemsTracks) {
        EXPECT_EQ(CreateTrack(file, 4, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1), 1);
        EXPECT_EQ(CreateTrack(file, 5, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1), 1);
    }
    for (size_t i = 0; i < feed.video.size(); ++i) {
        const Bytes &b = feed.video[i].bytes;
        EXPECT_EQ(AddVideoFrame(file, uint32_t(b.size()), b.data(), uint32_t(i) * feed.videoStep,
                                feed.video[i].key ? 1 : 0),
                  1);
    }
    for (size_t i = 0; i < feed.audio.size(); ++i) {
        const Bytes &b = feed.audio[i].bytes;
        EXPECT_EQ(AddAudioFrame(file, uint32_t(b.size()), b.data(), uint32_t(i) * 1024), 1);
    }
    EXPECT_EQ(MP4FileFlush(file), 1);
    EXPECT_FALSE(FileExists(tempv));
    EXPECT_FALSE(FileExists(tempa));
    return out;
}

std::string Probe(const std::string &file, const std::string &selector,
                  const std::string &entries) {
    return RunCommand("ffprobe -v error -select_streams " + selector +
                      " -count_packets -show_entries " + entries +
                      " -of default=noprint_wrappers=1 '" + file + "' 2>&1");
}

std::vector<Packet> Packets(const std::string &file, const std::string &selector) {
    std::istringstream in(RunCommand("ffprobe -v error -select_streams " + selector +
                                     " -show_entries packet=size,dts -of csv=p=0 '" + file + "'"));
    std::vector<Packet> packets;
    std::string line;
    while (std::getline(in, line)) {
        Packet p{};
        long long dts = 0;  // ffprobe prints the fields in its own order: dts, size
        if (std::sscanf(line.c_str(), "%lld,%u", &dts, &p.size) == 2) {
            p.dts = dts;
            packets.push_back(p);
        }
    }
    return packets;
}

void ExpectPackets(const std::string &file, const std::string &selector,
                   const std::vector<StreamFrame> &frames, uint32_t step) {
    const std::vector<Packet> packets = Packets(file, selector);
    ASSERT_EQ(packets.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(packets[i].size, frames[i].bytes.size()) << "packet " << i;
        EXPECT_EQ(packets[i].dts, int64_t(i) * step) << "packet " << i;
    }
}

void ExpectDecodesCleanly(const std::string &file, const std::string &maps) {
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + file + "' " + maps + " -f null - 2>&1"),
              "");
}

class WriteInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffprobe/ffmpeg missing";
        m4v = SplitM4v(ReadFileBytes(Fixture("video.m4v")));
        adts = SplitAdts(ReadFileBytes(Fixture("audio.aac")));
        ASSERT_EQ(m4v.frames.size(), 50u);
        ASSERT_GT(adts.frames.size(), 80u);
    }
    Feed VideoFeed() const {
        Feed f;
        f.video = m4v.frames;
        f.videoConfig = m4v.config;
        f.width = 176;
        f.height = 144;
        return f;
    }
    M4vStream m4v;
    AdtsStream adts;
};

TEST_F(WriteInterop, FourTracksKeepEveryPacketAndDecode) {
    Feed feed = VideoFeed();
    feed.audio = adts.frames;
    feed.adts = adts;
    const std::string out = Write(feed, TempDir());
    EXPECT_EQ(Probe(out, "v:0", "stream=codec_name,width,height,nb_read_packets"),
              "codec_name=mpeg4\nwidth=176\nheight=144\nnb_read_packets=50\n");
    EXPECT_EQ(Probe(out, "a:0", "stream=codec_name,sample_rate,channels,nb_read_packets"),
              "codec_name=aac\nsample_rate=44100\nchannels=1\nnb_read_packets=" +
                  std::to_string(adts.frames.size()) + "\n");
    ExpectPackets(out, "v:0", feed.video, 40);
    ExpectPackets(out, "a:0", feed.audio, 1024);
    ExpectDecodesCleanly(out, "-map 0:v -map 0:a");
}

// 2250 frames: the track spans two full blocks and a partial third.
TEST_F(WriteInterop, LongVideoOverSeveralBlocks) {
    Feed feed = VideoFeed();
    std::vector<StreamFrame> frames;
    for (size_t i = 0; i < 2250; ++i) frames.push_back(m4v.frames[i % m4v.frames.size()]);
    feed.video = frames;
    const std::string out = Write(feed, TempDir());
    EXPECT_EQ(Probe(out, "v:0", "stream=codec_name,nb_read_packets"),
              "codec_name=mpeg4\nnb_read_packets=2250\n");
    ExpectPackets(out, "v:0", feed.video, 40);
    ExpectDecodesCleanly(out, "-map 0:v");
}

TEST_F(WriteInterop, VideoOnly) {
    const Feed feed = VideoFeed();
    const std::string out = Write(feed, TempDir());
    EXPECT_EQ(Probe(out, "v:0", "stream=codec_name,width,height,nb_read_packets"),
              "codec_name=mpeg4\nwidth=176\nheight=144\nnb_read_packets=50\n");
    EXPECT_EQ(Probe(out, "a", "stream=codec_name"), "");
    ExpectPackets(out, "v:0", feed.video, 40);
    ExpectDecodesCleanly(out, "-map 0:v");
}

TEST_F(WriteInterop, AudioOnly) {
    Feed feed;
    feed.audio = adts.frames;
    feed.adts = adts;
    const std::string out = Write(feed, TempDir());
    EXPECT_EQ(Probe(out, "a:0", "stream=codec_name,sample_rate,channels"),
              "codec_name=aac\nsample_rate=44100\nchannels=1\n");
    EXPECT_EQ(Probe(out, "v", "stream=codec_name"), "");
    ExpectPackets(out, "a:0", feed.audio, 1024);
    ExpectDecodesCleanly(out, "-map 0:a");
}

// Without a configuration the writer builds the visual object headers from
// the track's size and time resolution; the VOPs of the stream must still
// decode with them.
TEST_F(WriteInterop, BuiltVideoConfigurationDecodes) {
    Feed feed = VideoFeed();
    feed.videoConfig.clear();
    feed.systemsTracks = false;
    const std::string out = Write(feed, TempDir());
    EXPECT_EQ(Probe(out, "v:0", "stream=codec_name,width,height,nb_read_packets"),
              "codec_name=mpeg4\nwidth=176\nheight=144\nnb_read_packets=50\n");
}

TEST_F(WriteInterop, H263Track) {
    Feed feed;
    feed.video = SplitH263(ReadFileBytes(Fixture("video.h263")));
    ASSERT_EQ(feed.video.size(), 15u);
    feed.videoCodec = 2;
    feed.videoStep = 67;
    feed.width = 176;
    feed.height = 144;
    feed.systemsTracks = false;
    const std::string out = Write(feed, TempDir());
    EXPECT_EQ(Probe(out, "v:0", "stream=codec_name,width,height,nb_read_packets"),
              "codec_name=h263\nwidth=176\nheight=144\nnb_read_packets=15\n");
    ExpectPackets(out, "v:0", feed.video, 67);
    ExpectDecodesCleanly(out, "-map 0:v");
}

}  // namespace
