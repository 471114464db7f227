#include "events/video_admission.h"

#include "dvrplugin.h"

int32_t VideoAdmission::Admit(uint32_t source, uint8_t keyFrame, bool throttled)
{
    std::lock_guard lock(mutex_);
    auto admission = dependentFrames_.find(source);
    if (admission != dependentFrames_.end()) {
        if (keyFrame == VIDEO_KEY_FRAME) {
            admission->second = 0;
        } else if (admission->second >= VIDEO_DEPENDENT_FRAME_LIMIT) {
            dependentFrames_.erase(admission);
            return EVENT_RESULT_KEYFRAME_EXPIRED;
        } else {
            ++admission->second;
        }
    } else {
        if (keyFrame != VIDEO_KEY_FRAME)
            return EVENT_RESULT_NOT_ADMITTED;
        if (throttled) // would be admitted and dropped again: skip the node
            return EVENT_RESULT_THROTTLED;
        admission = dependentFrames_.emplace(source, 0).first;
    }
    if (throttled) {
        dependentFrames_.erase(admission);
        return EVENT_RESULT_THROTTLED;
    }
    return EVENT_RESULT_OK;
}

void VideoAdmission::Forget(uint32_t source)
{
    std::lock_guard lock(mutex_);
    dependentFrames_.erase(source);
}
