#include "support/interop.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

std::vector<Record> ProbeRecords(const std::string &args) {
    std::vector<Record> records;
    std::istringstream lines(RunCommand("ffprobe -v error " + args + " -of compact=p=0"));
    for (std::string line; std::getline(lines, line);) {
        Record record;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');)
            if (const size_t eq = field.find('='); eq != std::string::npos)
                record[field.substr(0, eq)] = field.substr(eq + 1);
        if (!record.empty()) records.push_back(record);  // side data leaves blank lines
    }
    return records;
}

Record ProbeStream(const std::string &path, const std::string &kind, const std::string &fields) {
    const std::vector<Record> records = ProbeRecords("-show_data -select_streams " + kind +
                                                     ":0 -show_entries stream=" + fields + " '" + path + "'");
    return records.empty() ? Record{} : records[0];
}

namespace {

std::vector<Packet> FromFirst(std::vector<Packet> packets) {
    for (size_t i = packets.size(); i-- > 0;) packets[i].dts -= packets[0].dts;
    return packets;
}

bool StartCodeAt(const Bytes &d, size_t i, uint8_t code) {
    return i + 3 < d.size() && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == code;
}

Bytes Slice(const Bytes &d, size_t from, size_t to) {
    return Bytes(d.begin() + long(from), d.begin() + long(to));
}

// The frames between the starts (the last to the end of the data).
Stream Frames(const Bytes &data, const std::vector<size_t> &starts) {
    Stream out;
    for (size_t f = 0; f < starts.size(); ++f)
        out.frames.push_back({Slice(data, starts[f], f + 1 < starts.size() ? starts[f + 1] : data.size())});
    return out;
}

}  // namespace

std::vector<Packet> ProbePackets(const std::string &path, const std::string &kind,
                                 const std::string &format) {
    std::vector<Packet> packets;
    for (Record &r : ProbeRecords(format + " -select_streams " + kind +
                                  ":0 -show_entries packet=dts,pos,size,flags '" + path + "'"))
        packets.push_back({std::atoll(r["dts"].c_str()), std::atoll(r["size"].c_str()),
                           std::atoll(r["pos"].c_str()), r["flags"].find('K') != std::string::npos});
    return FromFirst(packets);
}

std::vector<Packet> ToolPackets(const std::string &path, const std::string &track) {
    std::vector<Packet> packets;
    std::istringstream lines(Corvane("samples --json --track " + track + " '" + path + "'"));
    for (std::string line; std::getline(lines, line);) {
        Packet p;
        int key = 0;
        if (std::sscanf(line.c_str(),
                        "  {\"index\": %*u, \"dts\": %lld, \"pos\": %lld, \"size\": %lld, \"key\": %d",
                        &p.dts, &p.pos, &p.size, &key) == 4)
            packets.push_back({p.dts, p.size, p.pos, key != 0});
    }
    return FromFirst(packets);
}

std::string DecodeErrors(const std::string &path, const std::string &maps) {
    return RunCommand("ffmpeg -nostdin -v error -i '" + path + "' " + maps + " -f null - 2>&1");
}

std::string Corvane(const std::string &args, int *status) {
    return RunCommand(std::string("'") + CORVANE_TOOL_PATH + "' " + args + " 2>/dev/null", status);
}

Stream SplitM4v(const Bytes &data) {
    std::vector<size_t> starts;
    size_t group = SIZE_MAX;
    for (size_t i = 0; i + 3 < data.size(); ++i) {
        if (StartCodeAt(data, i, 0xB3) && group == SIZE_MAX) group = i;
        if (StartCodeAt(data, i, 0xB6)) starts.push_back(std::min(group, i)), group = SIZE_MAX;
    }
    Stream out = Frames(data, starts);
    if (!starts.empty()) out.config = Slice(data, 0, starts[0]);
    for (StreamFrame &frame : out.frames)
        for (size_t i = 0; i + 4 < frame.bytes.size(); ++i)
            if (StartCodeAt(frame.bytes, i, 0xB6)) {
                frame.key = (frame.bytes[i + 4] >> 6) == 0;
                break;
            }
    return out;
}

Stream SplitAdts(const Bytes &data) {
    static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    Stream out;
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

Stream SplitH263(const Bytes &data) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && (data[i + 2] & 0xFC) == 0x80) starts.push_back(i);
    Stream out = Frames(data, starts);
    for (size_t f = 0; f < starts.size(); ++f)
        out.frames[f].key = ((data[starts[f] + 4] >> 1) & 1) == 0;  // INTRA
    return out;
}
