#include "support/model_writer.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/random.h"

namespace kxtest {

namespace {

class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
    void raw(const void* data, size_t size) {
        if (size == 0) return;
        const auto* bytes = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), bytes, bytes + size);
    }
    // Little-endian on every supported platform, like the reader.
    void i32(int32_t v) { raw(&v, 4); }
    void f32(float v) { raw(&v, 4); }
    void tag(const std::string& text) {
        char bytes[5] = {0, 0, 0, 0, 0};
        std::memcpy(bytes, text.data(), text.size() < 5 ? text.size() : 5);
        raw(bytes, 5);
    }
    void layer(const LayerParams& l) {
        i32(l.hidden_size);
        i32(l.input_size);
        raw(l.weights.data(), l.weights.size());
        raw(l.bias.data(), l.bias.size());
    }

private:
    std::vector<uint8_t>& out_;
};

LayerParams random_layer(Random& random, int32_t hidden, int32_t input, int32_t range) {
    LayerParams layer;
    layer.hidden_size = hidden;
    layer.input_size = input;
    layer.weights.resize(static_cast<size_t>(3 * hidden) * static_cast<size_t>(hidden + input));
    layer.bias.resize(static_cast<size_t>(3 * hidden));
    for (int8_t& w : layer.weights) w = static_cast<int8_t>(random.uniform(-range, range));
    for (int8_t& b : layer.bias) b = static_cast<int8_t>(random.uniform(-range, range));
    return layer;
}

}  // namespace

ModelParams make_random_model(const ModelShape& shape, uint32_t seed) {
    Random random(seed);
    const int32_t range = shape.weight_range < 0 ? 0 : (shape.weight_range > 127 ? 127 : shape.weight_range);
    ModelParams model;
    model.window_frames = shape.window_frames;
    model.lookahead_frames = shape.lookahead_frames;
    model.hop_length = shape.hop_length;
    model.num_bands = shape.num_bands;
    for (int32_t b = 0; b < shape.num_bands; ++b) {
        model.band_mean.push_back(random.real(-6.0f, -2.0f));
        model.band_std.push_back(random.real(0.5f, 2.0f));
    }
    model.layer_count = static_cast<int32_t>(shape.hidden_sizes.size());
    int32_t width = shape.num_bands;
    for (int32_t hidden : shape.hidden_sizes) {
        model.forward.push_back(random_layer(random, hidden, width, range));
        width = hidden;
    }
    width = shape.num_bands;
    for (int32_t hidden : shape.hidden_sizes) {
        model.backward.push_back(random_layer(random, hidden, width, range));
        width = hidden;
    }
    model.pooled_size = width;
    model.projection_kind = shape.projection_kind;
    model.embedding_size = shape.projection_kind == 0 ? width : shape.embedding_size;
    if (shape.projection_kind != 0) {
        model.projection.resize(static_cast<size_t>(model.embedding_size) * static_cast<size_t>(width));
        for (float& p : model.projection) p = random.real(-1.0f, 1.0f);
    }
    return model;
}

std::vector<uint8_t> serialize_model(const ModelParams& model) {
    std::vector<uint8_t> bytes;
    Writer w(bytes);
    w.tag(model.magic);
    w.tag(model.version);
    w.i32(model.window_frames);
    w.i32(model.lookahead_frames);
    for (float t : model.score_thresholds) w.f32(t);
    w.i32(model.frame_length);
    w.i32(model.hop_length);
    w.i32(model.num_bands);
    w.f32(model.log_floor);
    for (float v : model.band_mean) w.f32(v);
    for (float v : model.band_std) w.f32(v);
    w.i32(model.layer_count);
    w.f32(model.norm_epsilon);
    for (const LayerParams& l : model.forward) w.layer(l);
    for (const LayerParams& l : model.backward) w.layer(l);
    w.i32(model.embedding_size);
    w.i32(model.pooled_size);
    w.i32(model.projection_kind);
    if (model.projection_kind != 0)
        for (float v : model.projection) w.f32(v);
    return bytes;
}

size_t model_network_offset(const ModelParams& model) {
    return kModelHeaderSize + 16 + 4 * (model.band_mean.size() + model.band_std.size());
}

// Paths are UTF-8 (on Windows too, where the file system's names are UTF-16).
bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(std::filesystem::u8path(path), std::ios::binary);
    if (!bytes.empty())
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return !file.fail();
}

std::string temp_path(const std::string& stem) {
    static std::atomic<int> counter{0};
    const char* dir = std::getenv("TMPDIR");
    std::error_code error;
    const std::string base = dir && *dir ? dir : std::filesystem::temp_directory_path(error).u8string();
    return base + "/kx_" + stem + "_" + std::to_string(static_cast<long>(getpid())) + "_" +
           std::to_string(counter++) + ".kx";
}

TempFile::TempFile(const std::vector<uint8_t>& bytes, const std::string& stem) : path_(temp_path(stem)) {
    if (!write_bytes(path_, bytes)) path_.clear();
}

TempFile::TempFile(const ModelParams& model, const std::string& stem) : TempFile(serialize_model(model), stem) {}

TempFile::~TempFile() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove(std::filesystem::u8path(path_), error);
}

}  // namespace kxtest
