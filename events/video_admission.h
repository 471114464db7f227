// The video admission gate: a source's frames pass from a key frame on, for
// a limited number of dependent frames, and none pass while video is
// throttled. A pure function of its table and the throttle flag.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

// A frame is a key frame when its keyFrame byte is exactly this.
inline constexpr uint8_t VIDEO_KEY_FRAME = 1;
// Dependent frames that pass after a key frame; the next one needs a new key
// frame, so a source whose key frames were lost cannot stream on for ever.
inline constexpr uint32_t VIDEO_DEPENDENT_FRAME_LIMIT = 766;

class VideoAdmission {
public:
    // The event result for one frame of `source`: EVENT_RESULT_OK,
    // EVENT_RESULT_NOT_ADMITTED, EVENT_RESULT_KEYFRAME_EXPIRED or
    // EVENT_RESULT_THROTTLED. A refused frame ends the source's admission.
    int32_t Admit(uint32_t source, uint8_t keyFrame, bool throttled);
    // The admitted frame could not be queued: the source starts again with a key frame.
    void Forget(uint32_t source);

private:
    std::mutex mutex_;
    std::map<uint32_t, uint32_t> dependentFrames_; // source -> dependent frames since its key frame
};
