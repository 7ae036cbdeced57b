#include "model_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace kxtool {
namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

class Reader {
public:
    Reader(FILE* f, std::string path, int64_t size) : f_(f), path_(std::move(path)), size_(size) {}

    void bytes(void* out, size_t n, const char* what) {
        if (n && std::fread(out, 1, n, f_) != n) fail(what);
        pos_ += static_cast<int64_t>(n);
    }
    int32_t i32(const char* what) {
        unsigned char b[4];
        bytes(b, 4, what);
        return static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                                    uint32_t(b[3]) << 24);
    }
    float f32(const char* what) {
        int32_t bits = i32(what);
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    void skip(int64_t n, const char* what) {
        if (n < 0 || pos_ + n > size_) fail(what);
        if (std::fseek(f_, static_cast<long>(n), SEEK_CUR) != 0) fail(what);
        pos_ += n;
    }
    int64_t pos() const { return pos_; }
    [[noreturn]] void fail(const char* what) const {
        throw std::runtime_error(path_ + ": model file ends early or is corrupt (while reading " + what + ")");
    }

private:
    FILE* f_;
    std::string path_;
    int64_t size_;
    int64_t pos_ = 0;
};

LayerSizes read_layer(Reader& r, int64_t& parameters) {
    LayerSizes layer;
    layer.hidden_size = r.i32("layer sizes");
    layer.input_size = r.i32("layer sizes");
    if (layer.hidden_size < 0 || layer.input_size < 0) r.fail("layer sizes");
    const int64_t h = layer.hidden_size, i = layer.input_size;
    const int64_t weights = 3 * h * (h + i), bias = 3 * h;
    r.skip(weights, "layer weights");
    r.skip(bias, "layer bias");
    parameters += weights + bias;
    return layer;
}

}  // namespace

ModelFile read_model_file(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) throw std::runtime_error(path + ": cannot open model file: " + std::strerror(errno));
    std::fseek(f.get(), 0, SEEK_END);
    const int64_t size = std::ftell(f.get());
    std::fseek(f.get(), 0, SEEK_SET);

    ModelFile m;
    m.path = path;
    m.file_size = size;
    Reader r(f.get(), path, size);

    char text[5];
    r.bytes(text, 5, "magic");
    m.magic.assign(text, 5);
    r.bytes(text, 5, "version");
    m.version.assign(text, 5);
    m.window_frames = r.i32("header");
    m.lookahead_frames = r.i32("header");
    for (float& t : m.score_thresholds) t = r.f32("score thresholds");

    m.frame_length = r.i32("front end");
    m.hop_length = r.i32("front end");
    m.num_bands = r.i32("front end");
    m.log_floor = r.f32("front end");
    if (m.num_bands < 0) r.fail("front end");
    r.skip(8 * int64_t(m.num_bands), "band normalisation");

    m.layer_count = r.i32("network");
    m.norm_epsilon = r.f32("network");
    if (m.layer_count < 0 || m.layer_count > 1024) r.fail("network");
    int64_t parameters = 0;
    for (int i = 0; i < m.layer_count; ++i) m.forward.push_back(read_layer(r, parameters));
    for (int i = 0; i < m.layer_count; ++i) m.backward.push_back(read_layer(r, parameters));
    m.embedding_size = r.i32("embedding sizes");
    m.pooled_size = r.i32("embedding sizes");
    m.projection_kind = r.i32("embedding sizes");
    if (m.embedding_size < 0 || m.pooled_size < 0) r.fail("embedding sizes");
    if (m.projection_kind != 0) {
        const int64_t n = int64_t(m.embedding_size) * m.pooled_size;
        r.skip(4 * n, "projection");
        parameters += n;
    }
    m.parameter_count = parameters;
    m.bytes_read = r.pos();
    return m;
}

}  // namespace kxtool
