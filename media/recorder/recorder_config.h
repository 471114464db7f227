// The recorder's settings: recorder.conf in the core's working directory,
// one `key=value` a line, `#` starts a comment. Sizes take K, M or G, ages
// s, m, h or d. A line that is wrong is reported and its default kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "retention.h"

namespace recorder {

struct RecorderConfig {
    std::string directory = "recordings"; // relative to the working directory
    int64_t segmentSeconds = 60;
    RetentionLimits limits{0, 0, 0, 256LL << 20};
    int64_t cameraQueueBytes = 8LL << 20; // frames waiting for the disk, per camera
    bool syncFragments = true;            // fdatasync after every fragment
};

// Reads `text` into `config`; returns one message per line it could not use.
std::vector<std::string> ParseConfig(const std::string& text, RecorderConfig& config);

} // namespace recorder
