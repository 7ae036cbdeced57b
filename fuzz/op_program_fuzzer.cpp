// Op programs through the interpreter over a small buffer table. The whole program runs
// on a reference-only device and on a pooled device, and its outcome is checked against
// an independent model of operand extents. Then every instruction runs on its own on
// six devices (reference only, portable kernels, SSE4.1, AVX2, all features, a thread
// pool) from identical buffers, and the bytes each writes are compared.
//
// Input: flags byte, 4 seed bytes, magnitude byte, then instructions:
//   code byte, one byte per buffer operand, then each int32 operand as a kind byte
//   followed by its value bytes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "device/cpu.h"
#include "device/device.h"
#include "fuzz_util.h"
#include "nn/ops.h"

namespace {

constexpr int kBuffers = 6;
constexpr uint32_t kSizes[kBuffers] = {4096, 4096, 8192, 1024, 256, 64};
constexpr int kMaxInstructions = 24;

enum Device { kReference, kPortable, kSse, kAvx2, kFull, kPool, kDeviceCount };

kx_device_t* g_devices[kDeviceCount];

kx_device_t* make_device(const char* text, uint32_t mask, uint32_t flags) {
    kx_cpu_set_feature_mask(mask);
    kx_device_t* device = nullptr;
    FUZZ_CHECK(kx_device_create_from_string(text, "cpu:1", &device) == KX_STATUS_SUCCESS);
    device->flags |= flags;
    kx_cpu_set_feature_mask(~0u);
    return device;
}

void create_devices() {
    if (g_devices[0]) return;
    g_devices[kReference] = make_device("cpu:1", ~0u, KX_DEVICE_FLAG_REFERENCE_ONLY);
    g_devices[kPortable] = make_device("cpu:1", 0, 0);
    g_devices[kSse] = make_device("cpu:1", KX_CPU_SSE41, 0);
    g_devices[kAvx2] = make_device("cpu:1", KX_CPU_SSE41 | KX_CPU_AVX | KX_CPU_AVX2, 0);
    g_devices[kFull] = make_device("cpu:1", ~0u, 0);
    g_devices[kPool] = make_device("cpu:3", ~0u, 0);
}

struct Range {
    int operand;  // buffer operand
    int64_t offset;
    int64_t bytes;
    bool writes;
};

enum class Verdict { Ok, Bad, Either };

struct Instruction {
    int32_t code;
    int32_t buffers[4];
    int32_t ints[6];
    int32_t position;  // first word in the program
    int32_t length;    // words
};

int64_t mul(std::initializer_list<int64_t> factors) {
    constexpr int64_t kCap = int64_t(1) << 40;
    int64_t result = 1;
    for (int64_t f : factors) {
        if (f == 0) return 0;
    }
    for (int64_t f : factors) result = (result > kCap / f) ? kCap : result * f;
    return result;
}

// The byte ranges an operator touches, from the operator definitions. Returns false
// when a count is negative.
bool extents(const Instruction& in, std::vector<Range>* ranges) {
    const int32_t* a = in.ints;
    ranges->clear();
    auto add = [&](int operand, int64_t offset, int64_t bytes, bool writes) {
        ranges->push_back({operand, offset, bytes, writes});
    };
    switch (in.code) {
    case KX_OP_ADD:
        if (a[0] < 0) return false;
        add(0, a[1], mul({2, a[0]}), true);
        add(1, a[2], mul({2, a[0]}), false);
        add(2, a[3], mul({2, a[0]}), false);
        return true;
    case KX_OP_LINEAR_ACCUMULATE:
    case KX_OP_LINEAR: {
        if (a[0] < 0 || a[1] < 0 || a[2] < 0) return false;
        const bool work = a[0] > 0 && a[1] > 0;
        add(0, a[3], mul({2, a[0], a[1]}), true);
        add(1, a[4], work ? mul({2, a[0], a[2]}) : 0, false);
        add(2, 0, work ? mul({a[1], a[2]}) : 0, false);
        add(3, 0, work ? a[1] : 0, false);
        return true;
    }
    case KX_OP_GELU:
    case KX_OP_RELU:
        if (a[0] < 0) return false;
        add(0, a[1], mul({4, a[0]}), true);
        add(1, a[2], mul({4, a[0]}), false);
        return true;
    case KX_OP_NORMALIZE_QUANTIZE:
        if (a[1] < 0 || a[2] < 0) return false;
        add(0, 0, mul({2, a[1], a[2]}), true);
        add(1, 0, mul({4, a[1], a[2]}), false);
        return true;
    case KX_OP_LSTM_CELL:
        if (a[0] < 0) return false;
        add(0, a[1], mul({2, a[0]}), true);
        add(1, a[2], mul({2, a[0]}), true);
        add(2, a[3], mul({6, a[0]}), true);
        return true;
    case KX_OP_MATMUL_F32: {
        if (a[0] < 0 || a[1] < 0 || a[2] < 0) return false;
        const bool work = a[0] > 0 && a[1] > 0;
        add(0, a[3], mul({4, a[0], a[1]}), true);
        add(1, a[4], work ? mul({4, a[0], a[2]}) : 0, false);
        add(2, a[5], work ? mul({4, a[1], a[2]}) : 0, false);
        return true;
    }
    case KX_OP_COPY:
        if (a[0] < 0) return false;
        add(0, a[1], a[0], true);
        add(1, a[2], a[0], false);
        return true;
    case KX_OP_ZERO:
        if (a[0] < 0) return false;
        add(0, a[1], a[0], true);
        return true;
    case KX_OP_SOFTMAX:
        if (a[0] < 0 || a[1] < 0) return false;
        add(0, a[2], mul({4, a[0], a[1]}), true);
        add(1, a[3], mul({2, a[0], a[1]}), false);
        return true;
    case KX_OP_STANDARDIZE: {
        if (a[0] < 0 || a[1] < 0) return false;
        add(0, a[2], mul({2, a[0], a[1]}), true);
        add(1, a[3], mul({2, a[0], a[1]}), false);
        add(2, 0, a[0] > 0 ? mul({2, a[1]}) : 0, false);
        add(3, 0, a[0] > 0 ? mul({2, a[1]}) : 0, false);
        return true;
    }
    case KX_OP_SUM_POOL:
        if (a[0] < 0 || a[1] < 0) return false;
        add(0, a[2], mul({4, a[1]}), true);
        add(1, a[3], mul({2, a[0], a[1]}), false);
        return true;
    }
    return false;
}

bool has_cpu_kernel(int32_t code) {
    switch (code) {
    case KX_OP_ADD:
    case KX_OP_LINEAR_ACCUMULATE:
    case KX_OP_LINEAR:
    case KX_OP_LSTM_CELL:
    case KX_OP_MATMUL_F32:
    case KX_OP_SOFTMAX:
    case KX_OP_STANDARDIZE:
        return true;
    }
    return false;
}

// Whether two ranges of one call may share bytes: only the in-place forms the
// operators allow (same buffer and offset), which kernels must handle.
bool overlap_allowed(const Instruction& in, const Range& w, const Range& r) {
    if (w.offset != r.offset || w.bytes != r.bytes) return false;
    if (in.code == KX_OP_ADD) return true;
    if (in.code == KX_OP_STANDARDIZE) return r.operand == 1;
    if (in.code == KX_OP_GELU || in.code == KX_OP_RELU) return true;
    return false;
}

struct Model {
    Verdict verdict;
    bool comparable;  // no overlap that would make devices legitimately differ
};

Model judge(const Instruction& in) {
    std::vector<Range> ranges;
    if (!extents(in, &ranges)) return {Verdict::Bad, true};
    bool inside = true;
    for (const Range& r : ranges) {
        if (r.bytes == 0) continue;
        const int64_t size = kSizes[in.buffers[r.operand]];
        if (r.offset < 0 || r.offset > size || r.bytes > size - r.offset) inside = false;
    }
    if (!inside) return {Verdict::Bad, true};
    bool comparable = true;
    if (has_cpu_kernel(in.code)) {
        for (size_t i = 0; i < ranges.size(); ++i) {
            for (size_t j = 0; j < ranges.size(); ++j) {
                const Range& w = ranges[i];
                const Range& r = ranges[j];
                if (i == j || !w.writes || w.bytes == 0 || r.bytes == 0) continue;
                if (in.buffers[w.operand] != in.buffers[r.operand]) continue;
                const bool disjoint = w.offset + w.bytes <= r.offset || r.offset + r.bytes <= w.offset;
                if (!disjoint && !overlap_allowed(in, w, r)) comparable = false;
            }
        }
    }
    if (in.code == KX_OP_SOFTMAX && in.ints[1] == 0 && in.ints[0] > 0) return {Verdict::Either, comparable};
    return {Verdict::Ok, comparable};
}

// Largest count among an instruction's count operands.
int64_t largest_count(const Instruction& in) {
    static const int kFirst[KX_OP_COUNT] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    static const int kCounts[KX_OP_COUNT] = {1, 3, 3, 1, 2, 1, 3, 1, 1, 1, 2, 2, 2};
    int64_t largest = 0;
    for (int i = kFirst[in.code]; i < kFirst[in.code] + kCounts[in.code]; ++i)
        largest = std::max<int64_t>(largest, in.ints[i]);
    return largest;
}

int32_t read_int(FuzzReader& in) {
    const uint8_t kind = in.u8();
    if (kind < 112) return kind % 48;                         // counts and small sizes
    if (kind < 192) return 2 * static_cast<int32_t>(in.u8());  // element-aligned offsets
    if (kind < 224) return 4 * static_cast<int32_t>(in.u8() % 64);
    if (kind < 248) return in.u16() % 4096;
    return in.i32();
}

uint32_t g_rng;
uint32_t next_random() {
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 17;
    g_rng ^= g_rng << 5;
    return g_rng;
}

float load_float(const uint8_t* p, int64_t index) {
    float v;
    std::memcpy(&v, p + 4 * index, 4);
    return v;
}

int16_t load_int16(const uint8_t* p, int64_t index) {
    int16_t v;
    std::memcpy(&v, p + 2 * index, 2);
    return v;
}

bool is_simd(int device) { return device == kSse || device == kAvx2 || device == kFull || device == kPool; }

using Contents = std::vector<std::vector<uint8_t>>;

// Whether byte `at` of the written range `w` may differ between the reference and
// `device` after `ins`, given the buffers before the step (`before`, reference).
bool difference_allowed(const Instruction& ins, const Range& w, int64_t at, int device, const Contents& before,
                        const uint8_t* ref, const uint8_t* dev) {
    const int32_t* a = ins.ints;
    const int64_t rel = at - w.offset;
    switch (ins.code) {
    case KX_OP_LSTM_CELL:
        return w.operand == 2;  // the gates are scratch, unspecified afterwards
    case KX_OP_GELU:
    case KX_OP_RELU:
    case KX_OP_SUM_POOL:
    case KX_OP_MATMUL_F32: {
        const int64_t e = rel / 4;
        const float x = load_float(ref + w.offset, e);
        const float y = load_float(dev + w.offset, e);
        if (std::isnan(x) && std::isnan(y)) return true;  // payloads follow operand order
        if (ins.code != KX_OP_MATMUL_F32 || !is_simd(device)) return false;
        // Vector sums: other order, fused multiply-add; bounded by the magnitude of the terms.
        const int64_t rows = a[1], columns = a[2];
        const int64_t v = e / rows, r = e % rows;
        const uint8_t* in = before[ins.buffers[1]].data() + a[4];
        const uint8_t* matrix = before[ins.buffers[2]].data() + a[5];
        double magnitude = 0;
        for (int64_t c = 0; c < columns; ++c)
            magnitude += std::fabs(double(load_float(in, v * columns + c)) * load_float(matrix, r * columns + c));
        // Near the float range a fused product may stay finite where the reference's
        // rounded one overflowed; such sums may differ without bound.
        if (!(magnitude < 1e37)) return true;
        const bool close = std::fabs(double(x) - double(y)) <= 2.0 * columns * 1.2e-7 * magnitude + 1e-37;
        if (!close)
            std::fprintf(stderr, "matmul output %lld: reference %.9g, device %.9g, magnitude %.9g\n",
                         static_cast<long long>(e), double(x), double(y), magnitude);
        return close;
    }
    case KX_OP_STANDARDIZE: {
        if (!is_simd(device)) return false;
        // SIMD paths take in - mean in 16-bit lanes: only a difference that does not
        // fit in 16 bits may come out otherwise.
        const int64_t e = rel / 2;
        const int64_t m = a[1];
        const int32_t x = load_int16(before[ins.buffers[1]].data() + a[3], e);
        const int32_t mean = load_int16(before[ins.buffers[2]].data(), e % m);
        return x - mean < -32768 || x - mean > 32767;
    }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    create_devices();
    static const bool verbose = std::getenv("KX_FUZZ_VERBOSE") != nullptr;
    FuzzReader in(data, size);
    const uint8_t flags = in.u8();
    g_rng = in.u32() | 1u;
    const uint8_t magnitude = in.u8() % 16;

    // Decode instructions into program words.
    std::vector<int32_t> words;
    std::vector<Instruction> decoded;
    bool structural_error = false;  // a code or buffer index the interpreter must refuse
    if (flags & 1) words.push_back(-7);  // a word before start, never interpreted
    const int32_t start = static_cast<int32_t>(words.size());
    while (!in.empty() && decoded.size() < kMaxInstructions && !structural_error) {
        Instruction ins{};
        ins.position = static_cast<int32_t>(words.size());
        const uint8_t code_byte = in.u8();
        ins.code = code_byte < 247 ? code_byte % KX_OP_COUNT : (code_byte == 247 ? -1 : KX_OP_COUNT + code_byte);
        words.push_back(ins.code);
        if (ins.code < 0 || ins.code >= KX_OP_COUNT) {
            structural_error = true;
            break;
        }
        const kx_op_arity_t arity = kx_op_arity[ins.code];
        for (int b = 0; b < arity.buffers; ++b) {
            const uint8_t index_byte = in.u8();
            ins.buffers[b] = index_byte < 250 ? index_byte % kBuffers : (index_byte < 253 ? kBuffers : -1);
            words.push_back(ins.buffers[b]);
            if (ins.buffers[b] < 0 || ins.buffers[b] >= kBuffers) structural_error = true;
        }
        for (int i = 0; i < arity.ints; ++i) {
            ins.ints[i] = read_int(in);
            words.push_back(ins.ints[i]);
        }
        ins.length = static_cast<int32_t>(words.size()) - ins.position;
        if (structural_error) break;
        // A huge count beside a zero one touches nothing but may loop for long.
        if (judge(ins).verdict != Verdict::Bad && largest_count(ins) > (1 << 16)) return 0;
        decoded.push_back(ins);
    }
    int32_t end = static_cast<int32_t>(words.size());
    // Optionally cut the last instruction short: the interpreter must not run it.
    if ((flags & 2) && !structural_error && !decoded.empty()) {
        // At least the code word stays inside the range.
        end -= 1 + static_cast<int32_t>((flags >> 2) % (decoded.back().length - 1));
    }

    // Expected outcome of the whole run, and the instructions that run.
    kx_status_t expected = KX_STATUS_SUCCESS;
    bool expect_operator_message = false;
    bool either_allowed = false;
    size_t steps = 0;
    for (; steps < decoded.size(); ++steps) {
        const Instruction& ins = decoded[steps];
        if (ins.position + ins.length > end) {
            expected = KX_STATUS_INVALID_ARGUMENT;
            break;
        }
        const Verdict verdict = judge(ins).verdict;
        if (verdict == Verdict::Bad) {
            expected = KX_STATUS_INVALID_ARGUMENT;
            expect_operator_message = true;
            ++steps;
            break;
        }
        if (verdict == Verdict::Either) {
            either_allowed = true;  // what follows depends on the implementation's choice
            ++steps;
            break;
        }
    }
    if (steps == decoded.size() && structural_error && !either_allowed && !expect_operator_message)
        expected = KX_STATUS_INVALID_ARGUMENT;
    if (verbose) {
        std::fprintf(stderr, "program [%d, %d):", start, end);
        for (int32_t w : words) std::fprintf(stderr, " %d", w);
        std::fprintf(stderr, "\nexpected %d, operator message %d, either %d, steps %zu\n", expected,
                     expect_operator_message, either_allowed, steps);
    }

    // Identical initial contents for every device.
    Contents initial(kBuffers);
    for (int b = 0; b < kBuffers; ++b) {
        initial[b].resize(kSizes[b]);
        const int32_t range = 1 << (magnitude + 1);
        for (uint32_t i = 0; i < kSizes[b]; i += 2) {
            int16_t v = static_cast<int16_t>(static_cast<int32_t>(next_random() % range) - range / 2);
            if (magnitude == 15) v = static_cast<int16_t>(next_random());
            std::memcpy(&initial[b][i], &v, 2);
        }
    }
    kx_buffer_t* tables[kDeviceCount][kBuffers];
    auto load_tables = [&](int d) {
        for (int b = 0; b < kBuffers; ++b)
            FUZZ_CHECK(kx_buffer_write(g_devices[d], tables[d][b], initial[b].data(), 0, kSizes[b]) == KX_STATUS_SUCCESS);
    };
    auto storage = [&](int d, int b) { return static_cast<uint8_t*>(kx_buffer_map(g_devices[d], tables[d][b], 1)); };
    for (int d = 0; d < kDeviceCount; ++d)
        for (int b = 0; b < kBuffers; ++b) {
            tables[d][b] = kx_buffer_create(g_devices[d], kSizes[b], 0);
            FUZZ_CHECK(tables[d][b] != nullptr);
        }

    // The whole program through the interpreter.
    for (int d : {kReference, kPool}) {
        load_tables(d);
        fuzz_drain_error_stack();
        kx_error_stack_begin_call();
        const kx_status_t status = kx_op_program_run(g_devices[d], tables[d], words.data(), kBuffers, start, end);
        const std::vector<std::string> messages = fuzz_drain_error_stack();
        if (verbose) std::fprintf(stderr, "device %d: whole program %d\n", d, status);
        if (either_allowed) {
            FUZZ_CHECK(status == KX_STATUS_SUCCESS || status == KX_STATUS_INVALID_ARGUMENT);
            continue;
        }
        FUZZ_CHECK(status == expected);
        if (expect_operator_message)
            FUZZ_CHECK(messages.size() == 1 && fuzz_message_code(messages[0]) == 0x321);
        else
            FUZZ_CHECK(messages.empty());
    }

    // One instruction at a time on every device, compared with the reference.
    for (int d = 0; d < kDeviceCount; ++d) load_tables(d);
    Contents before(kBuffers);
    for (size_t k = 0; k < steps; ++k) {
        const Instruction& ins = decoded[k];
        if (ins.position + ins.length > end) break;
        const Model model = judge(ins);
        if (verbose) {
            std::fprintf(stderr, "step %zu: code %d buffers", k, ins.code);
            for (int b = 0; b < kx_op_arity[ins.code].buffers; ++b) std::fprintf(stderr, " %d", ins.buffers[b]);
            std::fprintf(stderr, " ints");
            for (int i = 0; i < kx_op_arity[ins.code].ints; ++i) std::fprintf(stderr, " %d", ins.ints[i]);
            std::fprintf(stderr, "\n");
        }
        for (int b = 0; b < kBuffers; ++b) before[b].assign(storage(kReference, b), storage(kReference, b) + kSizes[b]);
        kx_status_t statuses[kDeviceCount];
        for (int d = 0; d < kDeviceCount; ++d) {
            kx_error_stack_begin_call();
            statuses[d] = kx_op_program_run(g_devices[d], tables[d], words.data(), kBuffers, ins.position,
                                            ins.position + ins.length);
            fuzz_drain_error_stack();
            if (d > 0) FUZZ_CHECK(statuses[d] == statuses[0]);
        }
        if (model.verdict == Verdict::Ok) FUZZ_CHECK(statuses[0] == KX_STATUS_SUCCESS);
        if (model.verdict == Verdict::Bad) FUZZ_CHECK(statuses[0] == KX_STATUS_INVALID_ARGUMENT);
        if (statuses[0] != KX_STATUS_SUCCESS) break;

        // The pool splits the work of the single-thread device with the same features:
        // the same bytes (NaN payloads aside).
        if (model.comparable) {
            for (int b = 0; b < kBuffers; ++b) {
                const uint8_t* one = storage(kFull, b);
                const uint8_t* pool = storage(kPool, b);
                for (int64_t at = 0; at < kSizes[b]; ++at) {
                    if (one[at] == pool[at]) continue;
                    bool nan_pair = false;
                    for (int64_t w = std::max<int64_t>(0, at - 3); w <= at && w + 4 <= kSizes[b] && !nan_pair; ++w)
                        nan_pair = std::isnan(load_float(one + w, 0)) && std::isnan(load_float(pool + w, 0));
                    if (!nan_pair) {
                        std::fprintf(stderr, "instruction %zu (code %d): the pool differs from one thread in buffer %d "
                                     "at byte %lld\n", k, ins.code, b, static_cast<long long>(at));
                        FUZZ_CHECK(false);
                    }
                }
            }
        }

        std::vector<Range> written;
        extents(ins, &written);
        for (int d = 1; d < kDeviceCount; ++d) {
            for (int b = 0; b < kBuffers; ++b) {
                const uint8_t* ref = storage(kReference, b);
                uint8_t* dev = storage(d, b);
                if (std::memcmp(ref, dev, kSizes[b]) == 0) continue;
                if (model.comparable) {
                    for (int64_t at = 0; at < kSizes[b]; ++at) {
                        if (ref[at] == dev[at]) continue;
                        bool allowed = false, inside = false;
                        for (const Range& w : written) {
                            if (!w.writes || ins.buffers[w.operand] != b || at < w.offset || at >= w.offset + w.bytes)
                                continue;
                            inside = true;
                            allowed = allowed || difference_allowed(ins, w, at, d, before, ref, dev);
                        }
                        if (!allowed) {
                            std::fprintf(stderr, "instruction %zu (code %d): device %d differs from the reference in "
                                         "buffer %d at byte %lld%s\n", k, ins.code, d, b, static_cast<long long>(at),
                                         inside ? "" : ", outside every written operand");
                            FUZZ_CHECK(false);
                        }
                    }
                }
                // Continue from the reference's bytes so that every step sees equal inputs.
                std::memcpy(dev, ref, kSizes[b]);
            }
        }
    }

    for (int d = 0; d < kDeviceCount; ++d)
        for (int b = 0; b < kBuffers; ++b) kx_buffer_destroy(g_devices[d], tables[d][b]);
    return 0;
}
