#include "support/writer_session.h"

#include <gtest/gtest.h>

#include "support/mp4_walk.h"

const Bytes kAvObjectDescriptorUnit =
    Hex("01808080 1C 11808080 09 051F 0F808080 02 0001 11808080 09 029F 0F808080 02 0002");
const Bytes kAvSceneUnit = Hex("C0101281 302A0572 61048850 45053F00");

WriterSession::WriterSession()
    : dir(TempDir()), out(dir + "/out.mp4"), tempv(dir + "/tempv.v"), tempa(dir + "/tempa.a") {
    EXPECT_EQ(MP4FileNew(&file, out.c_str()), 1);
}

WriterSession::~WriterSession() {
    if (file != nullptr) MP4FileFlush(file);
}

int32_t WriterSession::Video(const Bytes &config, uint32_t codec, uint16_t width,
                             uint16_t height, uint32_t timescale) {
    return CreateTrack(file, 1, width, height, 1000, timescale, 0xF5, 0, 0, 0,
                       uint32_t(config.size()), config.data(), tempv.c_str(), codec);
}

int32_t WriterSession::Audio(uint32_t profile, uint32_t channels, uint32_t frequency,
                             const Bytes &config, uint32_t codec, uint32_t timescale) {
    return CreateTrack(file, 2, 0, 0, 0, timescale, 0, profile, channels, frequency,
                       uint32_t(config.size()), config.data(), tempa.c_str(), codec);
}

int32_t WriterSession::ObjectDescriptor() {
    return CreateTrack(file, 4, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
}

int32_t WriterSession::Scene() {
    return CreateTrack(file, 5, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
}

Bytes FrameBytes(uint32_t index, uint32_t size) { return Bytes(size, uint8_t(index)); }

std::string StblPath(const std::string &box, int trak) {
    return "moov/trak#" + std::to_string(trak) + "/mdia/minf/stbl/" + box;
}

std::vector<uint32_t> Steps(uint32_t count, uint32_t step) {
    std::vector<uint32_t> times;
    for (uint32_t i = 0; i < count; ++i) times.push_back(i * step);
    return times;
}

void WriterSession::VideoFrames(const std::vector<uint32_t> &times,
                                const std::vector<uint32_t> &sizes, const std::vector<bool> &keys) {
    for (size_t i = 0; i < times.size(); ++i) {
        const Bytes b = FrameBytes(uint32_t(i), sizes[i % sizes.size()]);
        const bool key = !keys.empty() && keys[i % keys.size()];
        EXPECT_EQ(AddVideoFrame(file, uint32_t(b.size()), b.data(), times[i], key ? 1 : 0), 1);
    }
}

void WriterSession::AudioFrames(const std::vector<uint32_t> &times,
                                const std::vector<uint32_t> &sizes) {
    for (size_t i = 0; i < times.size(); ++i) {
        const Bytes b = FrameBytes(uint32_t(i), sizes[i % sizes.size()]);
        EXPECT_EQ(AddAudioFrame(file, uint32_t(b.size()), b.data(), times[i]), 1);
    }
}

Bytes WriterSession::Flush() {
    EXPECT_EQ(MP4FileFlush(file), 1);
    file = nullptr;
    return ReadFileBytes(out);
}

std::vector<ReadSample> ReadAllSamples(MP4_read_file *handle, int32_t trackId) {
    std::vector<ReadSample> samples;
    uint8_t *data = nullptr;
    uint32_t size = 0, time = 0;
    testing::internal::CaptureStdout();  // the reader may report what it reads
    while (MP4GetNextSample(handle, trackId, &data, &size, &time) == 1) {
        samples.push_back({time, Bytes(data, data + size)});
        MP4freeData(&data);
    }
    testing::internal::GetCapturedStdout();
    return samples;
}
