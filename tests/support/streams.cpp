#include "support/streams.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

bool StartCodeAt(const Bytes &d, size_t i, uint8_t code) {
    return i + 3 < d.size() && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == code;
}

Bytes Slice(const Bytes &d, size_t from, size_t to) {
    return Bytes(d.begin() + long(from), d.begin() + long(to));
}

}  // namespace

M4vStream SplitM4v(const Bytes &data) {
    std::vector<size_t> starts;
    size_t group = SIZE_MAX;
    for (size_t i = 0; i + 3 < data.size(); ++i) {
        if (StartCodeAt(data, i, 0xB3) && group == SIZE_MAX) group = i;
        if (StartCodeAt(data, i, 0xB6)) starts.push_back(group != SIZE_MAX ? group : i);
        if (StartCodeAt(data, i, 0xB6)) group = SIZE_MAX;
    }
    M4vStream out;
    if (!starts.empty()) out.config = Slice(data, 0, starts[0]);
    for (size_t f = 0; f < starts.size(); ++f) {
        StreamFrame frame{Slice(data, starts[f], f + 1 < starts.size() ? starts[f + 1] : data.size())};
        for (size_t i = 0; i + 4 < frame.bytes.size(); ++i)
            if (StartCodeAt(frame.bytes, i, 0xB6)) {
                frame.key = (frame.bytes[i + 4] >> 6) == 0;
                break;
            }
        out.frames.push_back(std::move(frame));
    }
    return out;
}

AdtsStream SplitAdts(const Bytes &data) {
    static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    AdtsStream out;
    for (size_t i = 0; i + 7 <= data.size() && data[i] == 0xFF && (data[i + 1] & 0xF0) == 0xF0;) {
        const size_t header = (data[i + 1] & 1) ? 7 : 9;
        const size_t length =
            (size_t(data[i + 3] & 3) << 11) | (size_t(data[i + 4]) << 3) | (data[i + 5] >> 5);
        if (length < header || i + length > data.size()) break;
        if (out.frames.empty()) {
            out.objectType = (data[i + 2] >> 6) + 1u;
            out.sampleRate = kRates[std::min((data[i + 2] >> 2) & 15, 12)];
            out.channels = (data[i + 2] & 1u) * 4u + (data[i + 3] >> 6);
        }
        out.frames.push_back({Slice(data, i + header, i + length)});
        i += length;
    }
    return out;
}

std::vector<StreamFrame> SplitH263(const Bytes &data) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && (data[i + 2] & 0xFC) == 0x80) starts.push_back(i);
    std::vector<StreamFrame> frames;
    for (size_t f = 0; f < starts.size(); ++f)  // picture coding type 0: INTRA
        frames.push_back({Slice(data, starts[f], f + 1 < starts.size() ? starts[f + 1] : data.size()),
                          ((data[starts[f] + 4] >> 1) & 1) == 0});
    return frames;
}

std::vector<ProbedPacket> ProbePackets(const std::string &file, const std::string &selector) {
    std::istringstream lines(RunCommand("ffprobe -v error -select_streams " + selector +
                                        " -show_entries packet=dts,size -of csv=p=0 '" + file + "'"));
    std::vector<ProbedPacket> packets;
    ProbedPacket p;
    for (std::string line; std::getline(lines, line);)  // ffprobe's order: dts, size
        if (std::sscanf(line.c_str(), "%lld,%lld", &p.dts, &p.size) == 2) packets.push_back(p);
    for (size_t i = packets.size(); i-- > 0;) packets[i].dts -= packets[0].dts;
    return packets;
}

std::string DecodeErrors(const std::string &file, const std::string &maps) {
    return RunCommand("ffmpeg -nostdin -v error -i '" + file + "' " + maps + " -f null - 2>&1");
}
