#include "support/streams.h"

namespace {

bool StartCodeAt(const Bytes &d, size_t i, uint8_t code) {
    return i + 3 < d.size() && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == code;
}

}  // namespace

M4vStream SplitM4v(const Bytes &data) {
    std::vector<size_t> starts;
    size_t pendingGroup = SIZE_MAX;
    for (size_t i = 0; i + 3 < data.size(); ++i) {
        if (StartCodeAt(data, i, 0xB3) && pendingGroup == SIZE_MAX) pendingGroup = i;
        if (StartCodeAt(data, i, 0xB6)) {
            starts.push_back(pendingGroup != SIZE_MAX ? pendingGroup : i);
            pendingGroup = SIZE_MAX;
        }
    }
    M4vStream out;
    if (starts.empty()) return out;
    out.config.assign(data.begin(), data.begin() + long(starts[0]));
    for (size_t f = 0; f < starts.size(); ++f) {
        const size_t end = f + 1 < starts.size() ? starts[f + 1] : data.size();
        StreamFrame frame;
        frame.bytes.assign(data.begin() + long(starts[f]), data.begin() + long(end));
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
    size_t i = 0;
    while (i + 7 <= data.size() && data[i] == 0xFF && (data[i + 1] & 0xF0) == 0xF0) {
        const size_t header = (data[i + 1] & 1) ? 7 : 9;
        const size_t length =
            (size_t(data[i + 3] & 3) << 11) | (size_t(data[i + 4]) << 3) | (data[i + 5] >> 5);
        if (length < header || i + length > data.size()) break;
        if (out.frames.empty()) {
            out.firstHeader.assign(data.begin() + long(i), data.begin() + long(i + 7));
            out.objectType = (data[i + 2] >> 6) + 1u;
            const uint32_t index = (data[i + 2] >> 2) & 15u;
            out.sampleRate = index < 13 ? kRates[index] : 0;
            out.channels = (data[i + 2] & 1u) * 4u + (data[i + 3] >> 6);
        }
        StreamFrame frame;
        frame.bytes.assign(data.begin() + long(i + header), data.begin() + long(i + length));
        out.frames.push_back(std::move(frame));
        i += length;
    }
    return out;
}

std::vector<StreamFrame> SplitH263(const Bytes &data) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && (data[i + 2] & 0xFC) == 0x80) starts.push_back(i);
    std::vector<StreamFrame> frames;
    for (size_t f = 0; f < starts.size(); ++f) {
        const size_t end = f + 1 < starts.size() ? starts[f + 1] : data.size();
        StreamFrame frame;
        frame.bytes.assign(data.begin() + long(starts[f]), data.begin() + long(end));
        frame.key = ((data[starts[f] + 4] >> 1) & 1) == 0;  // picture coding type: 0 = INTRA
        frames.push_back(std::move(frame));
    }
    return frames;
}
