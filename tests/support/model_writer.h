// Writes ".kx" model files for tests, tools and fuzz seeds: header, front-end block
// and network block with chosen shapes and given or random parameters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxtest {

// One direction of one recurrent layer.
struct LayerParams {
    int32_t hidden_size = 0;
    int32_t input_size = 0;
    std::vector<int8_t> weights;  // [3H][H+I], row-major
    std::vector<int8_t> bias;     // [3H]
};

// Every field of a model file, in file order. The sizes written are the fields
// below as they are, so inconsistent or hostile files can be built as well.
struct ModelParams {
    std::string magic = "orvel";    // first 5 bytes written (padded with NULs)
    std::string version = "3.0.0";  // next 5 bytes
    int32_t window_frames = 2;
    int32_t lookahead_frames = 0;
    float score_thresholds[3] = {-1.0f, 0.0f, 1.0f};

    int32_t frame_length = 512;
    int32_t hop_length = 256;
    int32_t num_bands = 8;
    float log_floor = 1e-6f;
    std::vector<float> band_mean;  // written as given (num_bands entries normally)
    std::vector<float> band_std;

    int32_t layer_count = 0;  // written as given; forward / backward hold the records
    float norm_epsilon = 1e-3f;
    std::vector<LayerParams> forward;
    std::vector<LayerParams> backward;
    int32_t embedding_size = 0;
    int32_t pooled_size = 0;
    int32_t projection_kind = 0;
    std::vector<float> projection;  // [R][C], written only when projection_kind != 0
};

// Shape of a consistent model; parameters are filled by make_random_model.
struct ModelShape {
    int32_t window_frames = 2;
    int32_t lookahead_frames = 0;
    int32_t hop_length = 256;
    int32_t num_bands = 8;
    std::vector<int32_t> hidden_sizes = {6};  // one entry per bidirectional layer
    int32_t embedding_size = 5;
    int32_t projection_kind = 1;  // 0: embedding_size is forced to the pooled size
    int32_t weight_range = 48;    // weights and biases drawn from [-range, range]
};

// A consistent model with pseudo-random parameters (the same for the same seed).
ModelParams make_random_model(const ModelShape& shape, uint32_t seed);

// The file's bytes, and where its blocks start.
std::vector<uint8_t> serialize_model(const ModelParams& model);
constexpr size_t kModelHeaderSize = 30;
size_t model_network_offset(const ModelParams& model);

// Writes bytes to path; false when the file cannot be written.
bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);

// A fresh path in the system's temporary directory (unique per process and call).
std::string temp_path(const std::string& stem);

// A file that is removed when the object goes away.
class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t>& bytes, const std::string& stem = "model");
    explicit TempFile(const ModelParams& model, const std::string& stem = "model");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    const char* c_str() const { return path_.c_str(); }

private:
    std::string path_;
};

}  // namespace kxtest
