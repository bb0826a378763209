// The library's truncated floating-point results for values read from
// standard input, one question a line, for find_x87_inputs.py, which builds
// this program against the library compiled with different arithmetic and
// compares the answers.  Each line is answered in the file ANSWERS with the
// question, " = " and the answer.
//
//   x87_probe SCRATCH ANSWERS < questions
//
// SCRATCH begins the names of the files the writer makes; what the library
// prints on standard output goes to SCRATCH.printed.
//
//   rate TIMESCALE FRAMES DURATION   GetFileInfo's whole frame rate
//   time FPS COUNT                   Mp4AddVideo's times of frames 0 .. COUNT-1
//   video TIMESCALE SIZE@TIME ...    the video track's average and maximum bit
//   audio TIMESCALE SIZE@TIME ...    rate after each frame (AddVideoFrame,
//                                    AddAudioFrame), and what they printed
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "corvane2.h"
#include "read/config.h"
#include "remux/remux.h"
#include "write/write.h"

namespace {

// Runs `call` and returns what it printed on standard output, which main
// has turned into a file open for reading and writing.
template <typename Call>
std::string Printed(Call call) {
    std::fflush(stdout);
    const long before = std::ftell(stdout);
    call();
    std::fflush(stdout);
    std::string text(size_t(std::ftell(stdout) - before), '\0');
    std::fseek(stdout, before, SEEK_SET);
    text.resize(std::fread(text.data(), 1, text.size(), stdout));
    std::fseek(stdout, 0, SEEK_END);
    return text;
}

std::string Rate(std::istringstream &in) {
    uint32_t timescale = 0, frames = 0, duration = 0;
    in >> timescale >> frames >> duration;
    return std::to_string(WholeFrameRate(timescale, frames, duration));
}

std::string Times(std::istringstream &in) {
    std::string fps;
    uint32_t count = 0;
    in >> fps >> count;
    const float rate = std::stof(fps);
    std::string answer;
    for (uint32_t k = 0; k < count; ++k) answer += (k ? " " : "") + std::to_string(VisualFrameTime(k, rate));
    return answer;
}

// A fresh file with one track; the frames have no bytes (a null pointer),
// so their writes fail, after the bit rates have been kept.
std::string BitRates(std::istringstream &in, bool video, const std::string &scratch) {
    uint32_t timescale = 0;
    in >> timescale;
    MP4_local_file *file = nullptr;
    MP4FileNew(&file, (scratch + ".mp4").c_str());
    const std::string temp = scratch + ".tmp";
    CreateTrack(file, video ? 1 : 2, 176, 144, 1000, timescale, 0, 1, 2, 44100, 0, nullptr, temp.c_str(), 1);
    std::string answer;
    for (std::string frame; in >> frame;) {
        const uint32_t size = uint32_t(std::stoul(frame.substr(0, frame.find('@'))));
        const uint32_t time = uint32_t(std::stoul(frame.substr(frame.find('@') + 1)));
        const std::string printed = Printed([&] {
            if (video)
                AddVideoFrame(file, size, nullptr, time, 1);
            else
                AddAudioFrame(file, size, nullptr, time);
        });
        const TrackNode *track = video ? file->VideoTrackNode : file->AudioTrackNode;
        answer += (answer.empty() ? "" : " ") + std::to_string(track->avgBitrate) + "/" +
                  std::to_string(track->maxBitrate) + (printed.empty() ? "" : " printed \"" + printed + "\"");
    }
    MP4FileFlush(file);
    return answer;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return std::fprintf(stderr, "usage: x87_probe SCRATCH ANSWERS < questions\n"), 2;
    const std::string scratch = argv[1];
    std::ofstream answers(argv[2], std::ios::binary);
    if (!std::freopen((scratch + ".printed").c_str(), "w+b", stdout)) return 1;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        const std::string answer = kind == "rate"    ? Rate(in)
                                   : kind == "time"  ? Times(in)
                                   : kind == "video" ? BitRates(in, true, scratch)
                                   : kind == "audio" ? BitRates(in, false, scratch)
                                                     : "?";
        answers << line << " = " << answer << "\n";
    }
    return 0;
}
