/*
 * mediaprobe.c - a test receiver of media events (dvrmedia.h) that journals
 * each one, for the media tests (see probe_common.h for the configuration
 * and journal; the probe subscribes to frames, descriptions and ends itself).
 *
 * Journal lines ("<stem> " first; PROVIDER in hex, timestamps as raised):
 *   stream PROVIDER CAMERA GEN SEQ CODEC WxH FRN/FRD TBN/TBD PSBYTES NAME
 *   frame PROVIDER CAMERA GEN SEQ KEY PTS DTS TBN/TBD BYTES annexb|raw HASH
 *   end PROVIDER CAMERA GEN SEQ
 *   bad PROVIDER FLAGS          an event of the media type that is none of them
 * HASH is FNV-1a (64 bits, hex) over the payload bytes of the frame's coded
 * slices (VCL NAL units, start codes and trailing zero bytes left out): the
 * same picture gives the same hash whether it came from a file or over RTP,
 * whatever parameter sets or start code lengths came with it.
 */
#include "common/probe_common.h"

#include "dvrmedia.h"

static ProbeConfig probe;

/* Hashes the VCL NAL units of an Annex B access unit; sets *annexB to 0 when
 * the data does not start with a start code. */
static uint64_t slice_hash(const uint8_t* data, uint32_t size, uint32_t codec, int* annexB)
{
    uint64_t hash = 1469598103934665603ull;
    uint32_t at = 0, start, end;
    *annexB =
        size >= 3 && data[0] == 0 && data[1] == 0 && (data[2] == 1 || (size >= 4 && data[2] == 0 && data[3] == 1));
    while (at + 3 <= size) {
        if (!(data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1)) {
            ++at;
            continue;
        }
        start = at + 3;
        end = start;
        while (end + 3 <= size && !(data[end] == 0 && data[end + 1] == 0 && data[end + 2] == 1))
            ++end;
        if (end + 3 > size)
            end = size;
        at = end;
        while (end > start && data[end - 1] == 0)
            --end;
        if (end > start) {
            const int type = codec == DVR_MEDIA_CODEC_H265 ? (data[start] >> 1) & 0x3F : data[start] & 0x1F;
            const int vcl = codec == DVR_MEDIA_CODEC_H265 ? type < 32 : type >= 1 && type <= 5;
            uint32_t i;
            if (vcl)
                for (i = start; i < end; ++i)
                    hash = (hash ^ data[i]) * 1099511628211ull;
        }
    }
    return hash;
}

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    int32_t result = probe_load(&probe, in, out);
    out->eventMasks[DVR_EVENT_MASK_INDEX_MEDIA] = DVR_MEDIA_RECEIVER_MASK;
    out->writeEnabled = 1;
    return result;
}

int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out)
{
    DvrMediaFrameInfo frame;
    DvrMediaStreamInfo stream;
    (void)out;
    if (!(in->eventType & EVENT_TYPE_MEDIA))
        return 0;
    if (in->eventFlags == DVR_MEDIA_FLAGS_FRAME && DvrMediaGetFrameInfo(&in->payload, &frame)) {
        int annexB = 0;
        const uint64_t hash = in->data ? slice_hash((const uint8_t*)in->data, in->dataSize, frame.codec, &annexB) : 0;
        probe_journal(&probe, "frame 0x%08x %u %u %u %u %lld %lld %u/%u %u %s %016llx", in->providerID, frame.camera,
                      frame.streamGeneration, frame.sequence, frame.keyFrame, (long long)frame.pts,
                      (long long)frame.dts, frame.timeBaseNum, frame.timeBaseDen, in->dataSize,
                      annexB ? "annexb" : "raw", (unsigned long long)hash);
    } else if ((in->eventFlags == DVR_MEDIA_FLAGS_STREAM || in->eventFlags == DVR_MEDIA_FLAGS_STREAM_END) &&
               DvrMediaGetStreamInfo(&in->payload, &stream)) {
        if (in->eventFlags == DVR_MEDIA_FLAGS_STREAM)
            probe_journal(&probe, "stream 0x%08x %u %u %u %u %ux%u %u/%u %u/%u %u %s", in->providerID, stream.camera,
                          stream.streamGeneration, stream.sequence, stream.codec, stream.width, stream.height,
                          stream.frameRateNum, stream.frameRateDen, stream.timeBaseNum, stream.timeBaseDen,
                          in->dataSize, stream.name);
        else
            probe_journal(&probe, "end 0x%08x %u %u %u", in->providerID, stream.camera, stream.streamGeneration,
                          stream.sequence);
    } else {
        probe_journal(&probe, "bad 0x%08x 0x%08x", in->providerID, in->eventFlags);
    }
    return 0;
}
