// Reads the sizes and header values of a .kx model file (little-endian, packed),
// for `info` and for checking profile sizes before any library call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxtool {

struct LayerSizes {
    int32_t hidden_size = 0;
    int32_t input_size = 0;
};

struct ModelFile {
    std::string path;
    int64_t file_size = 0;
    std::string magic;
    std::string version;
    int32_t window_frames = 0;
    int32_t lookahead_frames = 0;
    float score_thresholds[3] = {0, 0, 0};
    int32_t frame_length = 0;
    int32_t hop_length = 0;
    int32_t num_bands = 0;
    float log_floor = 0;
    int32_t layer_count = 0;
    float norm_epsilon = 0;
    std::vector<LayerSizes> forward;
    std::vector<LayerSizes> backward;
    int32_t embedding_size = 0;
    int32_t pooled_size = 0;
    int32_t projection_kind = 0;
    int64_t parameter_count = 0;  // int8 weights and biases plus projection floats
    int64_t bytes_read = 0;       // end of the network block

    int32_t profile_size_bytes() const { return 4 * embedding_size; }
};

// Throws std::runtime_error with a readable reason when the file cannot be opened
// or ends early or holds impossible sizes. Does not check the magic or version
// (the library does; `info` shows what the file says).
ModelFile read_model_file(const std::string& path);

}  // namespace kxtool
