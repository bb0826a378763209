// Files written through the exports, checked by ffprobe and ffmpeg: the
// streams are recognised with their parameters, every packet keeps its size
// and decoding time, and the media decode without a complaint.
#include "support/interop.h"

namespace {

enum class Video { kNone, kM4v, kM4vBuilt, kH263 };

struct Case {
    const char *name;
    Video video;
    size_t videoFrames;  // the stream's frames repeated up to this count
    bool audio, systemsTracks;
    Record videoProbe, audioProbe;  // codec_name, width, height (sample_rate, channels)
    bool replaced = false;          // each media track replaces an earlier one given no frames
    uint32_t audioRate = 0;         // the sampling frequency given (0: the stream's)
};

std::vector<StreamFrame> Repeat(const std::vector<StreamFrame> &frames, size_t count) {
    std::vector<StreamFrame> out;
    for (size_t i = 0; i < count; ++i) out.push_back(frames[i % frames.size()]);
    return out;
}

void ExpectPackets(const std::string &file, const std::string &kind, const std::vector<StreamFrame> &frames,
                   uint32_t step) {
    const std::vector<Packet> packets = ProbePackets(file, kind);
    ASSERT_EQ(packets.size(), frames.size()) << kind;
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(packets[i], (Packet{(long long)(i * step), (long long)frames[i].bytes.size()}))
            << kind << " " << i;
}

TEST(WriteInterop, FilesKeepEveryPacketAndDecode) {
    SKIP_WITHOUT_FFMPEG();
    const Stream m4v = SplitM4v(ReadFileBytes(Fixture("video.m4v")));
    const Stream adts = SplitAdts(ReadFileBytes(Fixture("audio.aac")));
    const std::vector<StreamFrame> h263 = SplitH263(ReadFileBytes(Fixture("video.h263"))).frames;
    ASSERT_EQ(m4v.frames.size(), 50u);
    ASSERT_GT(adts.frames.size(), 80u);
    ASSERT_EQ(h263.size(), 15u);
    const Record mpeg4 = {{"codec_name", "mpeg4"}, {"width", "176"}, {"height", "144"}};
    const Record aac = {{"codec_name", "aac"}, {"sample_rate", "44100"}, {"channels", "1"}};
    const Case cases[] = {
        {"four tracks", Video::kM4v, 50, true, true, mpeg4, aac},
        // 2250 frames: the track spans two full blocks and a partial third.
        {"video only, long", Video::kM4v, 2250, false, true, mpeg4, {}},
        {"audio only", Video::kNone, 0, true, true, {}, aac},
        // Without a configuration the writer builds the visual object headers
        // from the track's size and time resolution.
        {"built configuration", Video::kM4vBuilt, 50, false, false, mpeg4, {}},
        {"H.263",
         Video::kH263,
         15,
         false,
         false,
         {{"codec_name", "h263"}, {"width", "176"}, {"height", "144"}},
         {}},
        // One stream of each kind; 44000 Hz is stored as the nearest rate of
        // the AAC table, which the stream has.
        {"replaced tracks, rate outside the table", Video::kM4v, 50, true, true, mpeg4, aac, true, 44000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = TempDir() + "/" + std::to_string(&c - cases) + ".mp4";
        const std::string tempv = out + ".v", tempa = out + ".a";
        const std::vector<StreamFrame> video =
            Repeat(c.video == Video::kH263 ? h263 : m4v.frames, c.videoFrames);
        const uint32_t step = c.video == Video::kH263 ? 67 : 40;
        const Bytes config = c.video == Video::kM4v ? m4v.config : Bytes{};
        MP4_local_file *file = nullptr;
        ASSERT_EQ(MP4FileNew(&file, out.c_str()), 1);
        const std::string earlier = out + ".earlier";
        for (uint32_t type : {1u, 2u})
            ASSERT_TRUE(!c.replaced || CreateTrack(file, type, 352, 288, 1000, 1000, 1, 1, 2, 48000, 0,
                                                   nullptr, earlier.c_str(), 1) == 1);
        ASSERT_TRUE(c.video == Video::kNone ||
                    CreateTrack(file, 1, 176, 144, 1000, 1000, 1, 0, 0, 0, uint32_t(config.size()),
                                config.data(), tempv.c_str(), c.video == Video::kH263 ? 2 : 1) == 1);
        ASSERT_TRUE(!c.audio || CreateTrack(file, 2, 0, 0, 0, adts.sampleRate, 0, adts.objectType - 1,
                                            adts.channels, c.audioRate ? c.audioRate : adts.sampleRate, 0,
                                            nullptr, tempa.c_str(), 1) == 1);
        for (uint32_t type : {4u, 5u})
            ASSERT_TRUE(!c.systemsTracks ||
                        CreateTrack(file, type, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1) == 1);
        for (size_t i = 0; i < video.size(); ++i)
            EXPECT_EQ(AddVideoFrame(file, uint32_t(video[i].bytes.size()), video[i].bytes.data(),
                                    uint32_t(i) * step, video[i].key ? 1 : 0),
                      1);
        for (size_t i = 0; c.audio && i < adts.frames.size(); ++i)
            EXPECT_EQ(AddAudioFrame(file, uint32_t(adts.frames[i].bytes.size()), adts.frames[i].bytes.data(),
                                    uint32_t(i) * 1024),
                      1);
        ASSERT_EQ(MP4FileFlush(file), 1);
        EXPECT_FALSE(FileExists(tempv));
        EXPECT_FALSE(FileExists(tempa));
        EXPECT_FALSE(FileExists(earlier));

        EXPECT_EQ(ProbeStream(out, "v", "codec_name,width,height"), c.videoProbe);
        EXPECT_EQ(ProbeStream(out, "a", "codec_name,sample_rate,channels"), c.audioProbe);
        ExpectPackets(out, "v", video, step);
        ExpectPackets(out, "a", c.audio ? adts.frames : std::vector<StreamFrame>{}, 1024);
        EXPECT_EQ(DecodeErrors(out, std::string(c.video != Video::kNone ? "-map 0:v " : "") +
                                        (c.audio ? "-map 0:a" : "")),
                  "");
    }
}

}  // namespace
