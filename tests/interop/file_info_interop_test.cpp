// GetFileInfo and the decoder configuration of the bundled files against
// ffprobe's view of the same files.
#include <cstdio>

#include "support/interop.h"

namespace {

uint32_t Number(const Record &r, const char *key) {
    return r.count(key) ? uint32_t(std::stoul(r.at(key))) : 0;
}

// "\n00000000: 1208 56e5 00     ..V..\n" -> 12 08 56 E5 00
Bytes HexDump(const std::string &text) {
    Bytes out;
    for (size_t line = text.find(": "); line != std::string::npos; line = text.find(": ", line + 2)) {
        std::istringstream groups(text.substr(line + 2, text.find("  ", line + 2) - line - 2));
        for (std::string group; groups >> group;)
            for (size_t i = 0; i + 1 < group.size(); i += 2)
                out.push_back(uint8_t(std::stoul(group.substr(i, 2), nullptr, 16)));
    }
    return out;
}

TEST(FileInfoInterop, AgreesWithFfprobe) {
    SKIP_WITHOUT_FFMPEG();
    for (const char *name :
         {"av.mp4", "av_moov_last.mp4", "audio.mp4", "video.mp4", "long_video.mp4", "xvid.mp4", "mp3.mp4"}) {
        SCOPED_TRACE(name);
        const std::string path = Fixture(name);
        FileInfo info{};
        Printed([&] { ASSERT_EQ(GetFileInfo(path.c_str(), &info), 1); });
        const std::string fields =
            "width,height,nb_frames,avg_frame_rate,sample_rate,channels,codec_name,profile,extradata";
        const Record video = ProbeStream(path, "v", fields), audio = ProbeStream(path, "a", fields);
        EXPECT_EQ(info.videoWidth, Number(video, "width"));
        EXPECT_EQ(info.videoHeight, Number(video, "height"));
        EXPECT_EQ(info.videoFrameCount, Number(video, "nb_frames"));
        unsigned num = 0, den = 1;  // ffprobe's frame rate, truncated like videoFrameRate
        if (!video.empty()) std::sscanf(video.at("avg_frame_rate").c_str(), "%u/%u", &num, &den);
        EXPECT_EQ(info.videoFrameRate, den ? num / den : 0);
        EXPECT_EQ(info.audioFrameCount, Number(audio, "nb_frames"));
        EXPECT_EQ(info.audioSampleRate, Number(audio, "sample_rate"));
        EXPECT_EQ(info.audioChannels, Number(audio, "channels"));
        if (audio.empty()) continue;
        const bool aac = audio.at("codec_name") == "aac";
        EXPECT_EQ(info.audioIsMpegAudio, aac ? 0u : 1u);
        if (!aac) continue;
        EXPECT_EQ(info.aacProfile, audio.at("profile") == "LC" ? 1u : 99u);
        // The AudioSpecificConfig handed out inside the esds equals ffprobe's
        // extradata: it follows the DecoderSpecificInfo's 80 80 80 n length.
        OpenedFile f(path);
        uint8_t esds[200] = {};
        uint32_t size = 0;
        EXPECT_EQ(Printed([&] { EXPECT_EQ(GetM4aEsdsData(f.handle, esds, &size), 1); }), "");
        const Bytes extradata = HexDump(audio.at("extradata"));
        ASSERT_FALSE(extradata.empty());
        ASSERT_EQ(esds[42], extradata.size());
        EXPECT_EQ(Bytes(esds + 43, esds + 43 + extradata.size()), extradata);
    }
}

}  // namespace
