/*
 * dvrmedia.h - compressed video between plugins of the tarvoSentry core.
 *
 * The core routes events; what a media event means is agreed between the
 * plugins that raise and receive it. This header is that agreement for
 * compressed video (H.264, H.265): a camera plugin raises one event per
 * compressed frame and a stream description whenever a camera connects or its
 * parameters change; a recorder, a live view or an analytics plugin receives
 * them. Include it after dvrplugin.h.
 *
 * Sources: each camera is a video source of its own, so that the core's
 * admission gate (keyed by providerID) never lets one camera's key frame admit
 * another camera's dependent frames. A camera's providerID is its plugin's
 * systemID with the camera number (1..65535) in bits 0..15, made with
 * DVR_MEDIA_SOURCE_ID: the moduleIndex, and so the plugin's log slot and
 * supervisor address, stay the plugin's.
 *
 * Events, all with eventType EVENT_TYPE_MEDIA:
 *   - A frame: eventFlags DVR_MEDIA_FLAGS_FRAME (video bit set, so it passes
 *     the admission gate and the memory throttle). data is one access unit in
 *     Annex B byte-stream form (start codes), exactly as the camera sent it:
 *     never decoded or re-encoded. payload holds a DvrMediaFrameInfo, whose
 *     keyFrame byte is where the core reads it.
 *   - A stream description: eventFlags DVR_MEDIA_FLAGS_STREAM (no video bit:
 *     never gated). Raised before the first frame of every connection and
 *     whenever codec, size or parameter sets change. data is the codec's
 *     parameter sets (SPS/PPS, and VPS for H.265) in Annex B form, or null when
 *     the stream carries them only in band. payload holds a DvrMediaStreamInfo.
 *     A receiver that joins late or restarts starts at the next key frame that
 *     follows a description it has seen.
 *   - A stream end: eventFlags DVR_MEDIA_FLAGS_STREAM_END, payload a
 *     DvrMediaStreamInfo of the stream that ended (connection lost, camera
 *     disabled or removed, plugin closing); data null.
 *
 * Gaps: a camera numbers every frame it reads with `sequence`, +1 per frame,
 * also for frames the core refused or the camera dropped. A receiver that sees
 * a jump has a gap. A new connection starts a new streamGeneration.
 *
 * The payload records are laid out identically on 32- and 64-bit targets
 * (every field at its natural alignment; the sizes are asserted below). Read
 * and write them with the helpers, which copy, so the payload's alignment
 * never matters.
 *
 * Plain C99; also compiles as C++.
 */
#ifndef DVRMEDIA_H
#define DVRMEDIA_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "dvrplugin.h"

/* clang-format off */

#ifdef __cplusplus
extern "C" {
#endif

#define DVR_MEDIA_MAGIC 0x4D525644u /* "DVRM" in little-endian byte order: marks a media payload */
#define DVR_MEDIA_VERSION 1u        /* version of the payload records below */

/* Codecs: the format's own numbers, so a receiver needs no codec library. */
#define DVR_MEDIA_CODEC_H264 1u /* H.264 / AVC */
#define DVR_MEDIA_CODEC_H265 2u /* H.265 / HEVC */

/* eventFlags bits 0..23 that tell media events apart. */
#define DVR_MEDIA_FLAG_FRAME 0x00000001u      /* a compressed frame */
#define DVR_MEDIA_FLAG_STREAM 0x00000002u     /* a stream description */
#define DVR_MEDIA_FLAG_STREAM_END 0x00000004u /* a stream ended */

/* Whole eventFlags words to raise. */
#define DVR_MEDIA_FLAGS_FRAME (EVENT_FLAG_BIT_VIDEO | DVR_MEDIA_FLAG_FRAME) /* a frame, gated as video */
#define DVR_MEDIA_FLAGS_STREAM DVR_MEDIA_FLAG_STREAM                        /* a stream description */
#define DVR_MEDIA_FLAGS_STREAM_END DVR_MEDIA_FLAG_STREAM_END                /* a stream end */

/* eventMasks[DVR_EVENT_MASK_INDEX_MEDIA] of a plugin that receives all three. */
#define DVR_MEDIA_RECEIVER_MASK                                              \
    (DVR_ROUTING_CLASS(DVR_MEDIA_FLAGS_FRAME) | DVR_ROUTING_CLASS(DVR_MEDIA_FLAGS_STREAM) | \
     DVR_ROUTING_CLASS(DVR_MEDIA_FLAGS_STREAM_END))

/* A camera's source ID: the plugin's systemID with the camera number in bits 0..15. */
#define DVR_MEDIA_SOURCE_ID(systemID, camera) ((((uint32_t)(systemID)) & 0xFFFF0000u) | (((uint32_t)(camera)) & 0xFFFFu))
/* The camera number of a source ID. */
#define DVR_MEDIA_CAMERA(providerID) ((uint16_t)(((uint32_t)(providerID)) & 0xFFFFu))

/* A timestamp that is not known. */
#define DVR_MEDIA_NO_TIMESTAMP INT64_MIN

/* DvrMediaFrameInfo.frameFlags bits. */
#define DVR_MEDIA_FRAME_CORRUPT 0x01u /* the source marked the frame as damaged */

/* Payload of a frame (56 bytes). */
typedef struct DvrMediaFrameInfo {
    uint32_t magic;            /* DVR_MEDIA_MAGIC */
    uint16_t version;          /* DVR_MEDIA_VERSION */
    uint16_t camera;           /* camera number, 1..65535: the low 16 bits of providerID */
    uint32_t codec;            /* DVR_MEDIA_CODEC_* */
    uint32_t sequence;         /* per camera, +1 for every frame read, refused ones included: a jump is a gap */
    uint16_t streamGeneration; /* the stream description this frame belongs to */
    uint8_t keyFrame;          /* 1: a key frame (random access point); 0: dependent. Read by the core at payload offset 18 */
    uint8_t frameFlags;        /* DVR_MEDIA_FRAME_* bits */
    uint32_t timeBaseNum;      /* timestamps count units of timeBaseNum / timeBaseDen seconds */
    int64_t pts;               /* presentation timestamp, or DVR_MEDIA_NO_TIMESTAMP */
    int64_t dts;               /* decode timestamp, or DVR_MEDIA_NO_TIMESTAMP */
    uint32_t timeBaseDen;      /* see timeBaseNum */
    uint32_t duration;         /* in time-base units; 0 = not known */
    int64_t wallClockUs;       /* when the camera plugin received it: microseconds since 1970 (CLOCK_REALTIME) */
} DvrMediaFrameInfo;

/* Payload of a stream description or a stream end (112 bytes). */
typedef struct DvrMediaStreamInfo {
    uint32_t magic;            /* DVR_MEDIA_MAGIC */
    uint16_t version;          /* DVR_MEDIA_VERSION */
    uint16_t camera;           /* camera number, 1..65535: the low 16 bits of providerID */
    uint32_t codec;            /* DVR_MEDIA_CODEC_* */
    uint32_t sequence;         /* description: the sequence of the next frame; end: one past the last frame read */
    uint16_t streamGeneration; /* +1 for every description of this camera */
    uint8_t reserved18;        /* zero: where a frame has keyFrame; unread, this event is not video */
    uint8_t reserved19;        /* zero */
    uint32_t width;            /* coded width in pixels; 0 = not known */
    uint32_t height;           /* coded height in pixels; 0 = not known */
    uint32_t frameRateNum;     /* frames per second as frameRateNum / frameRateDen; 0 = not known */
    uint32_t frameRateDen;     /* see frameRateNum */
    uint32_t timeBaseNum;      /* time base of this stream's frames, as in DvrMediaFrameInfo */
    uint32_t timeBaseDen;      /* see timeBaseNum */
    uint32_t reserved44;       /* zero */
    char name[64];             /* the camera's name, NUL-terminated */
} DvrMediaStreamInfo;

/* Copies a frame's media payload out of an event payload; returns 1 when it is
 * one (magic and version match), 0 otherwise. */
static inline int DvrMediaGetFrameInfo(const _EventPayload* payload, DvrMediaFrameInfo* info)
{
    memcpy(info, payload->bytes, sizeof *info);
    return info->magic == DVR_MEDIA_MAGIC && info->version == DVR_MEDIA_VERSION;
}

/* Stores a frame's media payload (magic and version included) into an event payload. */
static inline void DvrMediaSetFrameInfo(_EventPayload* payload, const DvrMediaFrameInfo* info)
{
    DvrMediaFrameInfo copy = *info;
    copy.magic = DVR_MEDIA_MAGIC;
    copy.version = DVR_MEDIA_VERSION;
    memcpy(payload->bytes, &copy, sizeof copy);
}

/* Copies a stream description or end out of an event payload; returns 1 when it
 * is one, 0 otherwise. name is NUL-terminated on return. */
static inline int DvrMediaGetStreamInfo(const _EventPayload* payload, DvrMediaStreamInfo* info)
{
    memcpy(info, payload->bytes, sizeof *info);
    info->name[sizeof info->name - 1] = '\0';
    return info->magic == DVR_MEDIA_MAGIC && info->version == DVR_MEDIA_VERSION;
}

/* Stores a stream description or end (magic and version included) into an event payload. */
static inline void DvrMediaSetStreamInfo(_EventPayload* payload, const DvrMediaStreamInfo* info)
{
    DvrMediaStreamInfo copy = *info;
    copy.magic = DVR_MEDIA_MAGIC;
    copy.version = DVR_MEDIA_VERSION;
    copy.name[sizeof copy.name - 1] = '\0';
    memcpy(payload->bytes, &copy, sizeof copy);
}

/* ------------------------------------------------------- layout checks */

#if defined(__cplusplus)
#define DVR_MEDIA_LAYOUT_ASSERT(name, cond) static_assert(cond, #name)
#else
#define DVR_MEDIA_LAYOUT_ASSERT(name, cond) typedef char dvr_media_layout_assert_##name[(cond) ? 1 : -1]
#endif

/* The same on every target. */
DVR_MEDIA_LAYOUT_ASSERT(frame_info_size, sizeof(DvrMediaFrameInfo) == 56);
DVR_MEDIA_LAYOUT_ASSERT(frame_info_sequence, offsetof(DvrMediaFrameInfo, sequence) == 12);
DVR_MEDIA_LAYOUT_ASSERT(frame_info_key_frame, offsetof(DvrMediaFrameInfo, keyFrame) == 18);
DVR_MEDIA_LAYOUT_ASSERT(frame_info_key_frame_is_the_cores,
                        offsetof(DvrMediaFrameInfo, keyFrame) == offsetof(_EventPayload, video.keyFrame));
DVR_MEDIA_LAYOUT_ASSERT(frame_info_time_base_num, offsetof(DvrMediaFrameInfo, timeBaseNum) == 20);
DVR_MEDIA_LAYOUT_ASSERT(frame_info_pts, offsetof(DvrMediaFrameInfo, pts) == 24);
DVR_MEDIA_LAYOUT_ASSERT(frame_info_dts, offsetof(DvrMediaFrameInfo, dts) == 32);
DVR_MEDIA_LAYOUT_ASSERT(frame_info_time_base_den, offsetof(DvrMediaFrameInfo, timeBaseDen) == 40);
DVR_MEDIA_LAYOUT_ASSERT(frame_info_wall_clock, offsetof(DvrMediaFrameInfo, wallClockUs) == 48);
DVR_MEDIA_LAYOUT_ASSERT(stream_info_size, sizeof(DvrMediaStreamInfo) == 112);
DVR_MEDIA_LAYOUT_ASSERT(stream_info_width, offsetof(DvrMediaStreamInfo, width) == 20);
DVR_MEDIA_LAYOUT_ASSERT(stream_info_time_base_den, offsetof(DvrMediaStreamInfo, timeBaseDen) == 40);
DVR_MEDIA_LAYOUT_ASSERT(stream_info_name, offsetof(DvrMediaStreamInfo, name) == 48);
DVR_MEDIA_LAYOUT_ASSERT(records_fit_the_payload, sizeof(DvrMediaStreamInfo) <= sizeof(_EventPayload));

#undef DVR_MEDIA_LAYOUT_ASSERT

#ifdef __cplusplus
}
#endif

/* clang-format on */

#endif /* DVRMEDIA_H */
