#include "segment_scan.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <cstring>

namespace recorder {

namespace {

uint32_t Be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Walks the top-level boxes: ftyp, moov, then moof + mdat pairs, then mfra.
void ReadBoxes(const std::string& path, SegmentFacts& facts)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return;
    std::fseek(file, 0, SEEK_END);
    facts.fileBytes = std::ftell(file);
    int64_t at = 0;
    bool haveMoov = false, haveMoof = false;
    for (;;) {
        uint8_t header[16];
        if (std::fseek(file, at, SEEK_SET) != 0 || std::fread(header, 1, 8, file) != 8)
            break;
        int64_t size = Be32(header);
        if (size == 1) {
            if (std::fread(header + 8, 1, 8, file) != 8)
                break;
            size = (int64_t{Be32(header + 8)} << 32) | Be32(header + 12);
        }
        if (size < 8 || at + size > facts.fileBytes)
            break; // size 0 (up to the end) is only ever a box still being written
        const std::string type(reinterpret_cast<char*>(header + 4), 4);
        at += size;
        if (type == "moov")
            haveMoov = true;
        else if (type == "moof")
            haveMoof = true;
        else if (type == "mdat" && haveMoov && haveMoof) {
            haveMoof = false;
            facts.validBytes = at;
            facts.readable = true;
        } else if (type == "mfra" && facts.readable) {
            facts.validBytes = at;
            facts.complete = true;
        }
    }
    std::fclose(file);
}

void ReadFrames(const std::string& path, SegmentFacts& facts)
{
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0)
        return;
    AVPacket* packet = av_packet_alloc();
    int64_t first = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
    AVRational timeBase{1, 1};
    if (packet && format->nb_streams > 0) {
        timeBase = format->streams[0]->time_base;
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == 0) {
                if (facts.frames == 0)
                    facts.startsWithKeyFrame = (packet->flags & AV_PKT_FLAG_KEY) != 0;
                ++facts.frames;
                const int64_t dts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
                if (first == AV_NOPTS_VALUE)
                    first = dts;
                if (end == AV_NOPTS_VALUE || dts + packet->duration > end)
                    end = dts + packet->duration;
            }
            av_packet_unref(packet);
        }
    }
    if (first != AV_NOPTS_VALUE)
        facts.durationUs = av_rescale_q(end - first, timeBase, AVRational{1, 1000000});
    av_packet_free(&packet);
    avformat_close_input(&format);
}

} // namespace

SegmentFacts ScanSegment(const std::string& path)
{
    SegmentFacts facts;
    ReadBoxes(path, facts);
    if (facts.readable)
        ReadFrames(path, facts);
    return facts;
}

SegmentFacts RepairSegment(FileSystem& files, const std::string& path)
{
    SegmentFacts facts;
    ReadBoxes(path, facts);
    if (facts.readable && facts.validBytes < facts.fileBytes && files.Truncate(path, facts.validBytes) == 0)
        facts.fileBytes = facts.validBytes;
    if (facts.readable)
        ReadFrames(path, facts);
    return facts;
}

} // namespace recorder
