// Audio files in any format libsndfile reads, as 16 kHz mono int16.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kxtool {

struct Audio {
    std::vector<int16_t> pcm;  // 16 kHz mono
    int source_rate = 0;
    int source_channels = 0;
    std::string format;  // e.g. "WAV", "FLAC", "OGG", "MPEG"

    double seconds() const { return pcm.size() / 16000.0; }
};

struct AudioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads the file, averages the channels and resamples to 16 kHz with libsoxr.
// Throws AudioError when the file is missing, unreadable or empty.
Audio load_audio(const std::string& path);

}  // namespace kxtool
