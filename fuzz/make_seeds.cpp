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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output dir>\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    device_string_seeds();
    op_program_seeds();
    return 0;
}
