#include "support/writer_session.h"

#include <gtest/gtest.h>

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

void WriterSession::VideoFrames(const std::vector<uint32_t> &times,
                                const std::vector<uint32_t> &sizes, const std::vector<bool> &keys) {
    for (size_t i = 0; i < times.size(); ++i) {
        const Bytes b = FrameBytes(uint32_t(i), sizes[i % sizes.size()]);
        EXPECT_EQ(AddVideoFrame(file, uint32_t(b.size()), b.data(), times[i],
                                keys.empty() ? 0 : keys[i % keys.size()] ? 1 : 0),
                  1);
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
