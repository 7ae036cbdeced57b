// Writes the seed corpora of the fuzz targets: kx_fuzz_seeds <output dir>
// creates <output dir>/<target>/<name> files.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "nn/ops.h"
#include "support/model_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_root;

void write_seed(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string dir = g_root + "/" + target;
    mkdir(g_root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return;
    }
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

void put32(Bytes* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// ---------------------------------------------------------------- device strings

void device_string_seeds() {
    const char* strings[] = {"best", "cpu", "cpu:1", "cpu:2", "cpu:4", "c", "cp", ":4", "", "cpu:", "cpu: 3",
                             "cpu:+2", "cpu:-4", "gpu", "gpu:1", "g", "cpu:x", "cpu:3x", "gpu:1.5", "cpux",
                             "best:2", "cpu:1024", "cpu:1025", "cpu:99999999999", "cpu:-2147483648",
                             "best\ncpu:2", "best\nbest", "best\ngpu", "cpu:%s%n"};
    int n = 0;
    for (const char* s : strings) {
        Bytes seed = {0};
        seed.insert(seed.end(), s, s + std::strlen(s));
        write_seed("device_string", "seed" + std::to_string(n++), seed);
    }
    // The same with the nth allocation failing.
    for (uint8_t fail : {0x80, 0x81, 0x82, 0x83}) {
        for (const char* s : {"cpu:2", "cpu:3", "best"}) {
            Bytes seed = {fail};
            seed.insert(seed.end(), s, s + std::strlen(s));
            write_seed("device_string", "seed" + std::to_string(n++), seed);
        }
    }
}

// ---------------------------------------------------------------- op programs
// Format of op_program_fuzzer: flags, 4 seed bytes, magnitude, then per instruction
// code byte, buffer bytes, and ints (kind 248 = raw little-endian int32).

struct Program {
    Bytes bytes;
    explicit Program(uint8_t flags = 0, uint32_t seed = 12345, uint8_t magnitude = 10) {
        bytes.push_back(flags);
        put32(&bytes, seed);
        bytes.push_back(magnitude);
    }
    Program& op(kx_op_t code, std::initializer_list<uint8_t> buffers, std::initializer_list<int32_t> ints) {
        bytes.push_back(static_cast<uint8_t>(code));
        for (uint8_t b : buffers) bytes.push_back(b);
        for (int32_t v : ints) {
            bytes.push_back(248);
            put32(&bytes, static_cast<uint32_t>(v));
        }
        return *this;
    }
};

void op_program_seeds() {
    std::vector<Program> programs;
    // Buffers: 0, 1: 4096 bytes, 2: 8192, 3: 1024, 4: 256, 5: 64.
    programs.push_back(Program().op(KX_OP_ADD, {0, 1, 2}, {100, 0, 2, 32}));
    programs.push_back(Program().op(KX_OP_ADD, {0, 0, 1}, {64, 16, 16, 0}));  // in place
    programs.push_back(Program().op(KX_OP_LINEAR, {0, 1, 2, 3}, {1, 24, 40, 0, 0}));
    programs.push_back(Program().op(KX_OP_LINEAR, {0, 1, 2, 3}, {3, 7, 33, 2, 6}));
    programs.push_back(Program().op(KX_OP_LINEAR, {0, 1, 2, 3}, {1, 1, 16, 0, 0}));
    programs.push_back(Program().op(KX_OP_LINEAR, {0, 1, 2, 3}, {1, 7, 16, 0, 0}).op(KX_OP_LINEAR_ACCUMULATE, {0, 1, 2, 3}, {1, 7, 16, 0, 64}));
    programs.push_back(Program().op(KX_OP_LINEAR_ACCUMULATE, {0, 1, 2, 3}, {2, 1, 17, 0, 0}));
    programs.push_back(Program(0, 7, 15).op(KX_OP_LINEAR, {0, 1, 2, 3}, {1, 32, 80, 0, 0}));
    programs.push_back(Program().op(KX_OP_GELU, {0, 1}, {64, 0, 0}).op(KX_OP_RELU, {1, 0}, {64, 4, 0}));
    programs.push_back(Program().op(KX_OP_NORMALIZE_QUANTIZE, {3, 2}, {0x3727c5ac, 12, 10}));
    programs.push_back(Program().op(KX_OP_LSTM_CELL, {0, 0, 1}, {80, 0, 160, 0}));
    programs.push_back(Program().op(KX_OP_LSTM_CELL, {0, 3, 2}, {300, 2, 0, 2}));
    programs.push_back(Program().op(KX_OP_MATMUL_F32, {0, 1, 2}, {1, 16, 64, 0, 0, 0}));
    programs.push_back(Program().op(KX_OP_MATMUL_F32, {0, 1, 2}, {2, 5, 48, 4, 8, 12}));
    programs.push_back(Program().op(KX_OP_COPY, {0, 1}, {100, 3, 5}).op(KX_OP_ZERO, {1}, {33, 1}));
    programs.push_back(Program().op(KX_OP_SOFTMAX, {0, 1}, {4, 2, 0, 0}));
    programs.push_back(Program().op(KX_OP_SOFTMAX, {0, 1}, {3, 16, 4, 2}));
    programs.push_back(Program().op(KX_OP_SOFTMAX, {0, 1}, {2, 0, 0, 0}));
    programs.push_back(Program().op(KX_OP_STANDARDIZE, {0, 0, 4, 5}, {10, 16, 0, 0}));
    programs.push_back(Program(0, 99, 15).op(KX_OP_STANDARDIZE, {0, 1, 4, 5}, {7, 8, 2, 0}));
    programs.push_back(Program().op(KX_OP_SUM_POOL, {0, 1}, {20, 40, 0, 0}));
    // Out of bounds and negative counts: refused by the operator.
    programs.push_back(Program().op(KX_OP_ADD, {5, 1, 2}, {33, 0, 0, 0}));
    programs.push_back(Program().op(KX_OP_COPY, {0, 1}, {-1, 0, 0}));
    programs.push_back(Program().op(KX_OP_ZERO, {4}, {16, 250}));
    programs.push_back(Program().op(KX_OP_LINEAR, {0, 1, 5, 3}, {1, 8, 16, 0, 0}));
    programs.push_back(Program().op(KX_OP_MATMUL_F32, {0, 1, 2}, {65536, 65536, 0, 0, 0, 0}));
    // Malformed programs: cut instruction, bad buffer index, bad code.
    programs.push_back(Program(2 | (3 << 2)).op(KX_OP_ADD, {0, 1, 2}, {8, 0, 0, 0}));
    Program bad_index;
    bad_index.op(KX_OP_ZERO, {0}, {8, 0});
    bad_index.bytes.insert(bad_index.bytes.end(), {KX_OP_COPY, 0, 251});
    programs.push_back(bad_index);
    Program bad_code(1);
    bad_code.bytes.push_back(250);
    programs.push_back(bad_code);
    // The voice-activity step's shape: standardise, linear, accumulate, cell, softmax.
    programs.push_back(Program()
                           .op(KX_OP_STANDARDIZE, {0, 0, 4, 5}, {1, 16, 0, 0})
                           .op(KX_OP_LINEAR, {1, 0, 2, 3}, {1, 48, 16, 0, 0})
                           .op(KX_OP_LINEAR_ACCUMULATE, {1, 0, 2, 3}, {1, 48, 16, 0, 64})
                           .op(KX_OP_LSTM_CELL, {0, 0, 1}, {16, 0, 32, 0})
                           .op(KX_OP_LINEAR, {3, 0, 2, 4}, {1, 2, 16, 0, 0})
                           .op(KX_OP_SOFTMAX, {1, 3}, {1, 2, 0, 0}));
    int n = 0;
    for (const Program& p : programs) write_seed("op_program", "seed" + std::to_string(n++), p.bytes);
}

// ---------------------------------------------------------------- model files
// Format of model_loader_fuzzer: control byte (bit 7: use the objects), then the file.

std::vector<kxtest::ModelShape> model_shapes() {
    std::vector<kxtest::ModelShape> shapes;
    kxtest::ModelShape s;  // defaults: 2 frames, 8 bands, one layer of 6, projection to 5
    shapes.push_back(s);
    s.projection_kind = 0;
    shapes.push_back(s);
    s = kxtest::ModelShape();
    s.hidden_sizes = {};
    s.projection_kind = 0;
    shapes.push_back(s);
    s = kxtest::ModelShape();
    s.window_frames = 3;
    s.lookahead_frames = 2;
    s.hop_length = 160;
    s.num_bands = 12;
    s.hidden_sizes = {8, 4};
    s.embedding_size = 6;
    shapes.push_back(s);
    s = kxtest::ModelShape();
    s.num_bands = 40;
    s.hop_length = 512;
    s.hidden_sizes = {16};
    s.embedding_size = 16;
    shapes.push_back(s);
    s = kxtest::ModelShape();
    s.window_frames = 1;
    s.num_bands = 1;
    s.hidden_sizes = {1};
    s.embedding_size = 1;
    s.weight_range = 127;
    shapes.push_back(s);
    return shapes;
}

Bytes with_control(uint8_t control, const Bytes& file) {
    Bytes out = {control};
    out.insert(out.end(), file.begin(), file.end());
    return out;
}

void model_loader_seeds() {
    int n = 0;
    auto seed = [&](uint8_t control, const Bytes& file) {
        write_seed("model_loader", "seed" + std::to_string(n++), with_control(control, file));
    };
    uint32_t random_seed = 1;
    for (const kxtest::ModelShape& shape : model_shapes()) {
        const kxtest::ModelParams model = kxtest::make_random_model(shape, random_seed++);
        const Bytes file = kxtest::serialize_model(model);
        seed(0x00, file);
        seed(0x80, file);
        // Cut at every block boundary and a few points inside blocks.
        const size_t network = kxtest::model_network_offset(model);
        for (size_t cut : {size_t{3}, size_t{5}, size_t{9}, size_t{10}, size_t{20}, size_t{29}, size_t{30},
                           size_t{38}, network - 1, network, network + 4, network + 12, file.size() / 2,
                           file.size() - 20, file.size() - 1})
            if (cut < file.size()) seed(0x00, Bytes(file.begin(), file.begin() + cut));
        // With one allocation failing.
        for (uint8_t fail : {1, 2, 3, 5, 8, 13})
            seed(fail, file);
    }

    // Hostile headers and blocks, each a variation of the default model.
    const kxtest::ModelParams base = kxtest::make_random_model(kxtest::ModelShape(), 7);
    auto variant = [&](void (*change)(kxtest::ModelParams&)) {
        kxtest::ModelParams m = base;
        change(m);
        seed(0x80, kxtest::serialize_model(m));
    };
    variant([](kxtest::ModelParams& m) { m.magic = "orvle"; });
    variant([](kxtest::ModelParams& m) { m.version = "2.9.9"; });
    variant([](kxtest::ModelParams& m) { m.window_frames = 0; });
    variant([](kxtest::ModelParams& m) { m.window_frames = -3; });
    variant([](kxtest::ModelParams& m) { m.window_frames = 0x7fffffff; });
    variant([](kxtest::ModelParams& m) { m.lookahead_frames = -1; });
    variant([](kxtest::ModelParams& m) { m.lookahead_frames = 0x40000000; });
    variant([](kxtest::ModelParams& m) { m.score_thresholds[1] = m.score_thresholds[0]; });
    variant([](kxtest::ModelParams& m) { m.score_thresholds[2] = __builtin_nanf(""); });
    variant([](kxtest::ModelParams& m) { m.frame_length = 256; });
    variant([](kxtest::ModelParams& m) { m.hop_length = 0; });
    variant([](kxtest::ModelParams& m) { m.hop_length = 1; });
    variant([](kxtest::ModelParams& m) { m.hop_length = 1 << 20; });
    variant([](kxtest::ModelParams& m) {  // two million analysis frames per window
        m.window_frames = 4000;
        m.hop_length = 1;
    });
    variant([](kxtest::ModelParams& m) { m.num_bands = 41; });
    variant([](kxtest::ModelParams& m) { m.num_bands = -1; });
    variant([](kxtest::ModelParams& m) { m.log_floor = -1.0f; });
    variant([](kxtest::ModelParams& m) { m.band_std.assign(m.band_std.size(), 0.0f); });
    variant([](kxtest::ModelParams& m) { m.band_mean.assign(m.band_mean.size(), __builtin_inff()); });
    variant([](kxtest::ModelParams& m) { m.layer_count = 1 << 30; });
    variant([](kxtest::ModelParams& m) { m.layer_count = -1; });
    variant([](kxtest::ModelParams& m) { m.norm_epsilon = -1.0f; });
    variant([](kxtest::ModelParams& m) { m.norm_epsilon = 0.0f; });
    variant([](kxtest::ModelParams& m) { m.forward[0].hidden_size = 100000; });
    variant([](kxtest::ModelParams& m) { m.forward[0].hidden_size = -6; });
    variant([](kxtest::ModelParams& m) { m.backward[0].input_size = 7; });
    variant([](kxtest::ModelParams& m) { m.embedding_size = 0; });
    variant([](kxtest::ModelParams& m) { m.embedding_size = -5; });
    variant([](kxtest::ModelParams& m) { m.pooled_size = 5; });
    variant([](kxtest::ModelParams& m) { m.projection_kind = 2; });
    variant([](kxtest::ModelParams& m) {
        m.projection_kind = 0;
        m.embedding_size = m.pooled_size;
    });
    variant([](kxtest::ModelParams& m) {
        m.projection_kind = 0;
        m.embedding_size = m.pooled_size + 1;
    });
    variant([](kxtest::ModelParams& m) { m.projection.assign(m.projection.size(), __builtin_nanf("")); });
    variant([](kxtest::ModelParams& m) { m.projection.assign(m.projection.size(), 3e38f); });
    variant([](kxtest::ModelParams& m) {
        for (kxtest::LayerParams& l : m.forward) l.weights.assign(l.weights.size(), 127);
    });
    seed(0, {});
    seed(0, Bytes{'o', 'r', 'v', 'e', 'l'});

    // The shipped model, whole and cut inside each of its blocks.
    FILE* f = std::fopen(KX_SOURCE_DIR "/models/default.kx", "rb");
    if (f) {
        Bytes file;
        uint8_t block[4096];
        size_t got;
        while ((got = std::fread(block, 1, sizeof(block), f)) > 0) file.insert(file.end(), block, block + got);
        std::fclose(f);
        seed(0x00, file);
        seed(0x80, file);
        for (size_t cut : {size_t{30}, size_t{400}, size_t{700}, file.size() / 3, file.size() - 4 * 8192, file.size() - 7})
            if (cut < file.size()) seed(0x00, Bytes(file.begin(), file.begin() + cut));
    }
}

// ---------------------------------------------------------------- API sequences
// Format of api_sequence_fuzzer: setup byte (model, device), threshold byte, chunks
// byte, then operations (see the target).

void api_sequence_seeds() {
    std::vector<Bytes> sequences = {
        // enroll noise to completion, flush, export, process, reset, export again
        {0, 0, 1, 1, 15, 1, 15, 2, 4, 5, 2, 0, 1, 3, 4},
        {1, 0, 3, 1, 15, 1, 15, 1, 15, 2, 4, 5, 4, 2, 1, 3, 6, 4},
        {2, 0, 0, 1, 9, 2, 4, 5, 7, 2, 3},
        {4, 1, 2, 1, 15, 2, 4, 5, 1, 1, 0},
        // bad audio kinds, one frame each: silence, square, DC, single sample, sine, extremes
        {0, 0, 0, 0, 0, 0, 0, 2, 5, 0, 0, 0, 3, 200, 0, 5, 17, 0, 6, 3, 0, 7, 0, 11, 2, 5, 11, 7, 2, 1, 4, 2, 4},
        // allocation failures armed before creation-heavy and per-call work
        {0, 0, 0, 1, 10, 7, 3, 3, 1, 4, 7, 1, 5, 0, 0, 1, 7, 5, 2, 7, 2, 10, 7, 9, 10},
        {3, 0, 1, 7, 1, 1, 12, 7, 4, 2, 1, 12, 4, 7, 2, 4, 5, 1, 0, 2},
        // misuse between valid calls
        {0, 0, 0, 9, 0, 9, 1, 9, 2, 9, 3, 9, 4, 9, 5, 1, 4, 8, 2, 4},
    };
    int n = 0;
    for (const Bytes& s : sequences) write_seed("api_sequence", "seed" + std::to_string(n++), s);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output dir>\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    device_string_seeds();
    op_program_seeds();
    model_loader_seeds();
    api_sequence_seeds();
    return 0;
}
