// GetFileInfo and the decoder configuration of the bundled files against
// ffprobe's view of the same files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "corvane2.h"
#include "support/bytes.h"

namespace {

// ffprobe's key=value lines for one stream, with its extradata as bytes.
struct Probed {
    std::map<std::string, std::string> fields;
    Bytes extradata;
    uint32_t Number(const std::string &key) const {
        auto it = fields.find(key);
        return it == fields.end() ? 0 : uint32_t(std::strtoul(it->second.c_str(), nullptr, 10));
    }
};

// "00000000: 1208 56e5 00      ..V.." -> 12 08 56 E5 00
void AppendHexDumpLine(const std::string &line, Bytes *out) {
    const size_t colon = line.find(": ");
    const size_t text = line.find("  ", colon + 2);
    std::istringstream groups(line.substr(colon + 2, text - colon - 2));
    std::string group;
    while (groups >> group)
        for (size_t i = 0; i + 1 < group.size(); i += 2)
            out->push_back(uint8_t(std::strtoul(group.substr(i, 2).c_str(), nullptr, 16)));
}

Probed Probe(const std::string &path, const char *stream) {
    Probed probed;
    std::istringstream lines(RunCommand(std::string("ffprobe -v error -select_streams ") +
                                        stream + " -show_streams -show_data '" + path + "'"));
    std::string line;
    bool inData = false;
    while (std::getline(lines, line)) {
        if (inData && line.size() > 10 && line[8] == ':') {
            AppendHexDumpLine(line, &probed.extradata);
            continue;
        }
        inData = false;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        probed.fields[line.substr(0, eq)] = line.substr(eq + 1);
        inData = line.substr(0, eq) == "extradata";
    }
    return probed;
}

class FileInfoInterop : public testing::TestWithParam<const char *> {};

TEST_P(FileInfoInterop, AgreesWithFfprobe) {
    if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe missing";
    const std::string path = Fixture(GetParam());
    FileInfo info{};
    testing::internal::CaptureStdout();
    ASSERT_EQ(GetFileInfo(path.c_str(), &info), 1);
    testing::internal::GetCapturedStdout();

    const Probed video = Probe(path, "v:0");
    EXPECT_EQ(info.videoWidth, video.Number("width"));
    EXPECT_EQ(info.videoHeight, video.Number("height"));
    EXPECT_EQ(info.videoFrameCount, video.Number("nb_frames"));
    if (!video.fields.empty()) {
        // ffprobe's frame rate as a fraction, truncated like videoFrameRate.
        unsigned num = 0, den = 1;
        std::sscanf(video.fields.at("avg_frame_rate").c_str(), "%u/%u", &num, &den);
        EXPECT_EQ(info.videoFrameRate, den ? num / den : 0);
    }

    const Probed audio = Probe(path, "a:0");
    EXPECT_EQ(info.audioFrameCount, audio.Number("nb_frames"));
    if (audio.fields.empty()) return;
    EXPECT_EQ(info.audioSampleRate, audio.Number("sample_rate"));
    EXPECT_EQ(info.audioChannels, audio.Number("channels"));
    const bool aac = audio.fields.at("codec_name") == "aac";
    EXPECT_EQ(info.audioIsMpegAudio, aac ? 0u : 1u);
    if (!aac) return;
    EXPECT_EQ(info.aacProfile, audio.fields.at("profile") == "LC" ? 1u : 99u);

    // The AudioSpecificConfig handed out inside the esds equals ffprobe's
    // extradata: it follows the DecoderSpecificInfo's 80 80 80 n length.
    MP4_read_file *handle = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_EQ(MP4FileOpen(&handle, path.c_str()), 1);
    uint8_t esds[200] = {};
    uint32_t size = 0;
    EXPECT_EQ(GetM4aEsdsData(handle, esds, &size), 1);
    MP4FileClose(&handle);
    std::free(handle);
    testing::internal::GetCapturedStdout();
    ASSERT_FALSE(audio.extradata.empty());
    const size_t at = 43;
    ASSERT_EQ(esds[at - 1], audio.extradata.size());
    EXPECT_EQ(Bytes(esds + at, esds + at + audio.extradata.size()), audio.extradata);
}

INSTANTIATE_TEST_SUITE_P(Bundled, FileInfoInterop,
                         testing::Values("av.mp4", "av_moov_last.mp4", "audio.mp4", "video.mp4",
                                         "long_video.mp4", "xvid.mp4", "mp3.mp4"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             for (char &ch : name)
                                 if (ch == '.') ch = '_';
                             return name;
                         });

}  // namespace
