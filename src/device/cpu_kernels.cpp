// CPU kernels: argument checks, item counts, item ranges and the choice of code path.
#include "device/cpu_kernels.h"

#include <algorithm>
#include <new>

#include "device/cpu_kernels_paths.h"
#include "device/wide_math.h"

namespace {

// Features with a matrix-vector path that computes row pairs.
#if KX_CPU_X86_PATHS
constexpr uint32_t kVector = KX_CPU_SSE41 | KX_CPU_AVX2;
#elif KX_CPU_NEON_PATHS
constexpr uint32_t kVector = KX_CPU_NEON;
#else
constexpr uint32_t kVector = 0;
#endif

using kx_elements::extent;

struct Range {
    const kx_buffer_t* buffer;
    int64_t offset;
    int64_t bytes;
};

bool inside(const Range& r) {
    if (r.bytes == 0) return true;
    if (!r.buffer || !r.buffer->storage || r.offset < 0) return false;
    const int64_t size = r.buffer->size;
    return r.offset <= size && r.bytes <= size - r.offset;
}

// Ranges of one buffer that share bytes; an output may still be exactly its input.
bool overlap(const Range& a, const Range& b) {
    if (a.bytes == 0 || b.bytes == 0 || a.buffer != b.buffer) return false;
    return a.offset < b.offset + b.bytes && b.offset < a.offset + a.bytes;
}
bool same(const Range& a, const Range& b) { return a.buffer == b.buffer && a.offset == b.offset; }

uint8_t* at(const Range& r) { return r.bytes ? static_cast<uint8_t*>(r.buffer->storage) + r.offset : nullptr; }

// Item t of count over n units: [t·n/count, (t+1)·n/count).
void split(uint64_t t, uint64_t count, int64_t n, int64_t* first, int64_t* last) {
    *first = static_cast<int64_t>(kx_mul_div64(t, static_cast<uint64_t>(n), count));
    *last = static_cast<int64_t>(kx_mul_div64(t + 1, static_cast<uint64_t>(n), count));
}

uint64_t squared_threads(const kx_cpu_device_t* cpu) {
    const int64_t t = cpu->threads;
    return static_cast<uint64_t>(t * t);
}

template <typename Block>
Block* block_of(kx_cpu_job_t* job) {
    static_assert(sizeof(Block) <= sizeof(job->block), "argument block fits the job");
    return new (job->block) Block();
}

void add_item(void* arg, uint64_t t) {
    const auto* b = static_cast<const kx_cpu_add_block_t*>(arg);
    int64_t s, e;
    split(t, b->count, b->n, &s, &e);
    const int64_t n = e - s;
    uint8_t* out = b->out + 2 * s;
    const uint8_t* x = b->a + 2 * s;
    const uint8_t* y = b->b + 2 * s;
#if KX_CPU_X86_PATHS
    if ((b->cpu_features & KX_CPU_AVX2) && n % 16 == 0) return kx_cpu_add_avx2(out, x, y, n);
    if ((b->cpu_features & KX_CPU_SSE41) && n % 8 == 0) return kx_cpu_add_sse41(out, x, y, n);
#elif KX_CPU_NEON_PATHS
    if ((b->cpu_features & KX_CPU_NEON) && n % 8 == 0) return kx_cpu_add_neon(out, x, y, n);
#endif
    kx_cpu_add_portable(out, x, y, n);
}

void linear_rows_item(void* arg, uint64_t t) {
    const auto* b = static_cast<const kx_cpu_linear_block_t*>(arg);
#if KX_CPU_X86_PATHS
    if (kx_cpu_linear_avx512_usable(b->cpu_features))
        kx_cpu_linear_rows_avx512(b, t);
    else if (b->cpu_features & KX_CPU_AVX2)
        kx_cpu_linear_rows_avx2(b, t);
    else
        kx_cpu_linear_rows_sse41(b, t);
#elif KX_CPU_NEON_PATHS
    kx_cpu_linear_rows_neon(b, t);
#else
    (void)b;
    (void)t;
#endif
}

void linear_outputs_item(void* arg, uint64_t t) {
    const auto* b = static_cast<const kx_cpu_linear_block_t*>(arg);
    int64_t s, e;
    split(t, b->count, b->vectors * b->rows, &s, &e);
#if KX_CPU_X86_PATHS
    if (kx_cpu_linear_avx512_usable(b->cpu_features)) return kx_cpu_linear_outputs_avx512(b, s, e);
    if (b->cpu_features & KX_CPU_AVX2) return kx_cpu_linear_outputs_avx2(b, s, e);
    if (b->cpu_features & KX_CPU_SSE41) return kx_cpu_linear_outputs_sse41(b, s, e);
#elif KX_CPU_NEON_PATHS
    if (b->cpu_features & KX_CPU_NEON) return kx_cpu_linear_outputs_neon(b, s, e);
#endif
    kx_cpu_linear_outputs_portable(b, s, e);
}

void lstm_item(void* arg, uint64_t t) {
    const auto* b = static_cast<const kx_cpu_lstm_block_t*>(arg);
    const int64_t first = static_cast<int64_t>(t) * 128;
    const int64_t n = std::min<int64_t>(b->size - first, 128);
#if KX_CPU_X86_PATHS
    if (b->cpu_features & KX_CPU_AVX2) return kx_cpu_lstm_avx2(b, first, n);
    if (b->cpu_features & KX_CPU_SSE41) return kx_cpu_lstm_sse41(b, first, n);
#elif KX_CPU_NEON_PATHS
    if (b->cpu_features & KX_CPU_NEON) return kx_cpu_lstm_neon(b, first, n);
#endif
    kx_cpu_lstm_portable(b, first, n);
}

void matmul_item(void* arg, uint64_t t) {
    const auto* b = static_cast<const kx_cpu_matmul_block_t*>(arg);
    int64_t s, e;
    split(t, b->count, b->vectors * b->rows, &s, &e);
#if KX_CPU_X86_PATHS
    // The fused multiply-add path needs FMA, which every known AVX2 processor has.
    if ((b->cpu_features & KX_CPU_AVX2) && b->columns % 32 == 0 && kx_cpu_facts().fma)
        return kx_cpu_matmul_avx2(b, s, e);
#endif
    // ARM keeps the exact path: 32-bit NEON flushes subnormal floats to zero.
    kx_cpu_matmul_portable(b, s, e);
}

void softmax_item(void* arg, uint64_t t) {
    const auto* b = static_cast<const kx_cpu_softmax_block_t*>(arg);
    int64_t s, e;
    split(t, b->count, b->rows, &s, &e);
#if KX_CPU_X86_PATHS
    if ((b->cpu_features & KX_CPU_AVX2) && b->length % 16 == 0) return kx_cpu_softmax_avx2(b, s, e);
    if ((b->cpu_features & KX_CPU_SSE41) && b->length % 8 == 0) return kx_cpu_softmax_sse41(b, s, e);
#elif KX_CPU_NEON_PATHS
    if ((b->cpu_features & KX_CPU_NEON) && b->length % 8 == 0) return kx_cpu_softmax_neon(b, s, e);
#endif
    kx_cpu_softmax_portable(b, s, e);
}

void standardize_item(void* arg, uint64_t t) {
    const auto* b = static_cast<const kx_cpu_standardize_block_t*>(arg);
    int64_t s, e;
    split(t, b->count, b->frames, &s, &e);
#if KX_CPU_X86_PATHS
    if ((b->cpu_features & KX_CPU_AVX2) && b->width % 16 == 0) return kx_cpu_standardize_avx2(b, s, e);
    if ((b->cpu_features & KX_CPU_SSE41) && b->width % 8 == 0) return kx_cpu_standardize_sse41(b, s, e);
#elif KX_CPU_NEON_PATHS
    if ((b->cpu_features & KX_CPU_NEON) && b->width % 8 == 0) return kx_cpu_standardize_neon(b, s, e);
#endif
    kx_cpu_standardize_portable(b, s, e);
}

kx_status_t plan_add(const kx_cpu_device_t* cpu, const kx_op_args_t* a, kx_cpu_job_t* job) {
    const int64_t n = a->ints[0];
    if (n < 0) return KX_STATUS_INVALID_ARGUMENT;
    const Range out{a->buffers[0], a->ints[1], extent({2, n})};
    const Range x{a->buffers[1], a->ints[2], out.bytes};
    const Range y{a->buffers[2], a->ints[3], out.bytes};
    if (!inside(out) || !inside(x) || !inside(y)) return KX_STATUS_INVALID_ARGUMENT;
    if ((overlap(out, x) && !same(out, x)) || (overlap(out, y) && !same(out, y))) return KX_STATUS_INVALID_ARGUMENT;
    auto* b = block_of<kx_cpu_add_block_t>(job);
    *b = {at(out), at(x), at(y), n, 1, cpu->features};
    if (cpu->pool) b->count = std::min<uint64_t>(static_cast<uint64_t>(cpu->threads), std::max<int64_t>(1, n / 131072));
    job->task = add_item;
    job->count = b->count;
    job->work = static_cast<uint64_t>(n);
    return KX_STATUS_SUCCESS;
}

kx_status_t plan_linear(const kx_cpu_device_t* cpu, const kx_op_args_t* a, bool accumulate, kx_cpu_job_t* job) {
    const int64_t vectors = a->ints[0], rows = a->ints[1], columns = a->ints[2];
    if (vectors < 0 || rows < 0 || columns < 0) return KX_STATUS_INVALID_ARGUMENT;
    const bool work = vectors > 0 && rows > 0;
    const Range out{a->buffers[0], a->ints[3], extent({2, rows, vectors})};
    const Range in{a->buffers[1], a->ints[4], work ? extent({2, columns, vectors}) : 0};
    const Range weights{a->buffers[2], 0, work ? extent({rows, columns}) : 0};
    const Range bias{a->buffers[3], 0, work ? rows : 0};
    if (!inside(out) || !inside(in) || !inside(weights) || !inside(bias)) return KX_STATUS_INVALID_ARGUMENT;
    if (overlap(out, in) || overlap(out, weights) || overlap(out, bias)) return KX_STATUS_INVALID_ARGUMENT;
    auto* b = block_of<kx_cpu_linear_block_t>(job);
    *b = {at(out), at(in), reinterpret_cast<const int8_t*>(at(weights)), reinterpret_cast<const int8_t*>(at(bias)),
          vectors, rows, columns, 1, cpu->features, accumulate};
    const uint64_t t2 = squared_threads(cpu);
    if (vectors == 1 && (cpu->features & kVector) && (!accumulate || rows >= 2)) {
        b->count = std::max<uint64_t>(1, std::min<uint64_t>(t2, static_cast<uint64_t>(rows / 2)));
        job->task = linear_rows_item;
    } else {
        if (cpu->pool) b->count = std::min<uint64_t>(t2, static_cast<uint64_t>(vectors * rows));
        job->task = linear_outputs_item;
    }
    job->count = work ? b->count : 0;
    job->work = static_cast<uint64_t>(extent({vectors, rows, columns}));
    return KX_STATUS_SUCCESS;
}

kx_status_t plan_lstm(const kx_cpu_device_t* cpu, const kx_op_args_t* a, kx_cpu_job_t* job) {
    const int64_t h = a->ints[0];
    if (h < 0) return KX_STATUS_INVALID_ARGUMENT;
    const Range hidden{a->buffers[0], a->ints[1], extent({2, h})};
    const Range cell{a->buffers[1], a->ints[2], extent({2, h})};
    const Range gates{a->buffers[2], a->ints[3], extent({6, h})};
    if (!inside(hidden) || !inside(cell) || !inside(gates)) return KX_STATUS_INVALID_ARGUMENT;
    if (overlap(hidden, cell) || overlap(hidden, gates) || overlap(cell, gates)) return KX_STATUS_INVALID_ARGUMENT;
    auto* b = block_of<kx_cpu_lstm_block_t>(job);
    *b = {at(hidden), at(cell), at(gates), h, cpu->features};
    job->task = lstm_item;
    job->count = static_cast<uint64_t>((h + 127) / 128);
    job->work = static_cast<uint64_t>(h) * 32;  // about 32 operations per lane
    return KX_STATUS_SUCCESS;
}

kx_status_t plan_matmul(const kx_cpu_device_t* cpu, const kx_op_args_t* a, kx_cpu_job_t* job) {
    const int64_t vectors = a->ints[0], rows = a->ints[1], columns = a->ints[2];
    if (vectors < 0 || rows < 0 || columns < 0) return KX_STATUS_INVALID_ARGUMENT;
    const bool work = vectors > 0 && rows > 0;
    const Range out{a->buffers[0], a->ints[3], extent({4, rows, vectors})};
    const Range in{a->buffers[1], a->ints[4], work ? extent({4, columns, vectors}) : 0};
    const Range matrix{a->buffers[2], a->ints[5], work ? extent({4, rows, columns}) : 0};
    if (!inside(out) || !inside(in) || !inside(matrix)) return KX_STATUS_INVALID_ARGUMENT;
    if (overlap(out, in) || overlap(out, matrix)) return KX_STATUS_INVALID_ARGUMENT;
    auto* b = block_of<kx_cpu_matmul_block_t>(job);
    *b = {at(out), at(in), at(matrix), vectors, rows, columns, 1, cpu->features};
    if (cpu->pool) b->count = std::min<uint64_t>(squared_threads(cpu), static_cast<uint64_t>(vectors * rows));
    job->task = matmul_item;
    job->count = work ? b->count : 0;
    job->work = static_cast<uint64_t>(extent({vectors, rows, columns}));
    return KX_STATUS_SUCCESS;
}

kx_status_t plan_softmax(const kx_cpu_device_t* cpu, const kx_op_args_t* a, kx_cpu_job_t* job) {
    const int64_t rows = a->ints[0], length = a->ints[1];
    if (rows < 0 || length < 1) return KX_STATUS_INVALID_ARGUMENT;
    const Range out{a->buffers[0], a->ints[2], extent({4, rows, length})};
    const Range in{a->buffers[1], a->ints[3], extent({2, rows, length})};
    if (!inside(out) || !inside(in) || overlap(out, in)) return KX_STATUS_INVALID_ARGUMENT;
    auto* b = block_of<kx_cpu_softmax_block_t>(job);
    *b = {at(out), at(in), rows, length, 1, cpu->features};
    if (cpu->pool) b->count = std::min<uint64_t>(static_cast<uint64_t>(rows), squared_threads(cpu));
    job->task = softmax_item;
    job->count = rows > 0 ? b->count : 0;
    job->work = static_cast<uint64_t>(extent({rows, length, 8}));  // exponent, sum, scaling
    return KX_STATUS_SUCCESS;
}

kx_status_t plan_standardize(const kx_cpu_device_t* cpu, const kx_op_args_t* a, kx_cpu_job_t* job) {
    const int64_t n = a->ints[0], m = a->ints[1];
    if (n < 0 || m < 0) return KX_STATUS_INVALID_ARGUMENT;
    const Range out{a->buffers[0], a->ints[2], extent({2, n, m})};
    const Range in{a->buffers[1], a->ints[3], extent({2, n, m})};
    const Range mean{a->buffers[2], 0, n > 0 ? extent({2, m}) : 0};
    const Range scale{a->buffers[3], 0, n > 0 ? extent({2, m}) : 0};
    if (!inside(out) || !inside(in) || !inside(mean) || !inside(scale)) return KX_STATUS_INVALID_ARGUMENT;
    if ((overlap(out, in) && !same(out, in)) || overlap(out, mean) || overlap(out, scale))
        return KX_STATUS_INVALID_ARGUMENT;
    auto* b = block_of<kx_cpu_standardize_block_t>(job);
    *b = {at(out), at(in), at(mean), at(scale), n, m, 1, cpu->features};
    if (cpu->pool) b->count = std::min<uint64_t>(squared_threads(cpu), std::max<int64_t>(1, n / 1024));
    job->task = standardize_item;
    job->count = n > 0 && m > 0 ? b->count : 0;
    job->work = static_cast<uint64_t>(extent({n, m}));
    return KX_STATUS_SUCCESS;
}

kx_status_t run_kernel(void* backend, kx_op_t op, const kx_op_args_t* args) {
    const auto* cpu = static_cast<const kx_cpu_device_t*>(backend);
    kx_cpu_job_t job;
    const kx_status_t status = kx_cpu_job_plan(cpu, op, args, &job);
    if (status == KX_STATUS_SUCCESS) kx_cpu_job_run(cpu, &job);
    return status;
}

// The fused AVX-512 VNNI paths also run the AVX2 cell.
bool fused_avx512_usable(const kx_cpu_device_t* cpu) {
    return kx_cpu_linear_avx512_usable(cpu->features) && (cpu->features & KX_CPU_AVX2);
}

// A fused recurrent kernel on the calling thread: the AVX-512 VNNI path where usable
// and the sizes fit it, the portable loop on processors without vector paths (it
// saves the per-frame dispatch); elsewhere declined, because the frame-by-frame
// operators' vector kernels are faster than the scalar loop.
template <typename Block>
kx_status_t run_fused(const kx_cpu_device_t* cpu, const Block& b, bool avx512_fits, void (*avx512)(const Block*),
                      void (*portable)(const Block*)) {
    if (avx512_fits && fused_avx512_usable(cpu)) {
        avx512(&b);
        return KX_STATUS_SUCCESS;
    }
    if (cpu->features & kVector) return KX_STATUS_INVALID_ARGUMENT;
    portable(&b);
    return KX_STATUS_SUCCESS;
}

}  // namespace

kx_status_t kx_cpu_job_plan(const kx_cpu_device_t* cpu, kx_op_t op, const kx_op_args_t* args, kx_cpu_job_t* job) {
    switch (op) {
        case KX_OP_ADD: return plan_add(cpu, args, job);
        case KX_OP_LINEAR_ACCUMULATE: return plan_linear(cpu, args, true, job);
        case KX_OP_LINEAR: return plan_linear(cpu, args, false, job);
        case KX_OP_LSTM_CELL: return plan_lstm(cpu, args, job);
        case KX_OP_MATMUL_F32: return plan_matmul(cpu, args, job);
        case KX_OP_SOFTMAX: return plan_softmax(cpu, args, job);
        case KX_OP_STANDARDIZE: return plan_standardize(cpu, args, job);
        default: return KX_STATUS_INVALID_ARGUMENT;
    }
}

void kx_cpu_job_run(const kx_cpu_device_t* cpu, kx_cpu_job_t* job) {
    if (job->count < 2 || !cpu->pool || job->work < cpu->hand_off_work) {
        for (uint64_t t = 0; t < job->count; ++t) job->task(job->block, t);
        return;
    }
    kx_thread_pool_run(cpu->pool, job->task, job->block, job->count);
}

kx_status_t kx_cpu_kernel_add(void* backend, void*, const kx_op_args_t* args) {
    return run_kernel(backend, KX_OP_ADD, args);
}
kx_status_t kx_cpu_kernel_linear_accumulate(void* backend, void*, const kx_op_args_t* args) {
    return run_kernel(backend, KX_OP_LINEAR_ACCUMULATE, args);
}
kx_status_t kx_cpu_kernel_linear(void* backend, void*, const kx_op_args_t* args) {
    return run_kernel(backend, KX_OP_LINEAR, args);
}
kx_status_t kx_cpu_kernel_lstm_cell(void* backend, void*, const kx_op_args_t* args) {
    return run_kernel(backend, KX_OP_LSTM_CELL, args);
}
kx_status_t kx_cpu_kernel_matmul_f32(void* backend, void*, const kx_op_args_t* args) {
    return run_kernel(backend, KX_OP_MATMUL_F32, args);
}
kx_status_t kx_cpu_kernel_softmax(void* backend, void*, const kx_op_args_t* args) {
    return run_kernel(backend, KX_OP_SOFTMAX, args);
}
kx_status_t kx_cpu_kernel_standardize(void* backend, void*, const kx_op_args_t* args) {
    return run_kernel(backend, KX_OP_STANDARDIZE, args);
}

int64_t kx_cpu_lstm_sequence_workspace(void* backend, int32_t hidden, int32_t input_size) {
#if KX_CPU_X86_PATHS
    if (fused_avx512_usable(static_cast<const kx_cpu_device_t*>(backend)))
        return kx_cpu_lstm_sequence_avx512_workspace(hidden, input_size);
#else
    (void)backend, (void)hidden, (void)input_size;
#endif
    return 0;
}

kx_status_t kx_cpu_kernel_lstm_sequence(void* backend, const kx_lstm_sequence_t* a) {
    const auto* cpu = static_cast<const kx_cpu_device_t*>(backend);
    const int64_t h = a->hidden, in = a->input_size, frames = a->frames;
    if (h < 1 || h > KX_CPU_FUSED_MAX_HIDDEN || in < 0 || frames < 0) return KX_STATUS_INVALID_ARGUMENT;
    const Range out{a->output, 0, extent({2, frames, h})};
    const Range x{a->input, 0, extent({2, frames, in})};
    const Range weights{a->weights, 0, extent({3, h, h + in})};
    const Range bias{a->bias, 0, extent({3, h})};
    if (!inside(out) || !inside(x) || !inside(weights) || !inside(bias)) return KX_STATUS_INVALID_ARGUMENT;
    if (overlap(out, x) || overlap(out, weights) || overlap(out, bias)) return KX_STATUS_INVALID_ARGUMENT;
    const int64_t workspace_bytes =
        a->workspace ? kx_cpu_lstm_sequence_workspace(backend, a->hidden, a->input_size) : 0;
    const Range workspace{a->workspace, 0, workspace_bytes};
    if (workspace_bytes > 0) {
        for (const Range& r : {out, x, weights, bias})
            if (overlap(r, workspace)) return KX_STATUS_INVALID_ARGUMENT;
        if (!inside(workspace)) return KX_STATUS_INVALID_ARGUMENT;
    }
    const kx_cpu_sequence_block_t b = {at(out), at(x), reinterpret_cast<const int8_t*>(at(weights)),
                                       reinterpret_cast<const int8_t*>(at(bias)), at(workspace), h, in, frames,
                                       a->reverse, a->accumulate, cpu->features};
#if KX_CPU_X86_PATHS
    if (workspace_bytes > 0) {
        kx_cpu_lstm_sequence_avx512(&b);
        return KX_STATUS_SUCCESS;
    }
#endif
    if (frames == 0) return KX_STATUS_SUCCESS;
    return run_fused<kx_cpu_sequence_block_t>(cpu, b, false, nullptr, kx_cpu_lstm_sequence_portable);
}

kx_status_t kx_cpu_kernel_lstm_step(void* backend, const kx_lstm_step_t* a) {
    const auto* cpu = static_cast<const kx_cpu_device_t*>(backend);
    const int64_t h = a->hidden_size, in = a->input_size;
    if (h < 1 || h > KX_CPU_FUSED_MAX_HIDDEN || in < 0 || in > KX_CPU_FUSED_MAX_HIDDEN)
        return KX_STATUS_INVALID_ARGUMENT;
    const Range hidden{a->hidden, 0, extent({2, h})};
    const Range cell{a->cell, 0, extent({2, h})};
    const Range x{a->input, 0, extent({2, in})};
    const Range input_weights{a->input_weights, 0, extent({3, h, in})};
    const Range input_bias{a->input_bias, 0, extent({3, h})};
    const Range hidden_weights{a->hidden_weights, 0, extent({3, h, h})};
    const Range hidden_bias{a->hidden_bias, 0, extent({3, h})};
    const Range workspace{a->workspace, 0, kx_lstm_step_workspace_bytes(h, in)};
    const Range reads[] = {x, input_weights, input_bias, hidden_weights, hidden_bias};
    for (const Range& r : reads)
        if (!inside(r) || overlap(r, hidden) || overlap(r, cell) || overlap(r, workspace))
            return KX_STATUS_INVALID_ARGUMENT;
    if (!inside(hidden) || !inside(cell) || !inside(workspace) || overlap(hidden, cell) ||
        overlap(hidden, workspace) || overlap(cell, workspace))
        return KX_STATUS_INVALID_ARGUMENT;
    const kx_cpu_step_block_t b = {at(hidden), at(cell), at(x),
                                   reinterpret_cast<const int8_t*>(at(input_weights)),
                                   reinterpret_cast<const int8_t*>(at(input_bias)),
                                   reinterpret_cast<const int8_t*>(at(hidden_weights)),
                                   reinterpret_cast<const int8_t*>(at(hidden_bias)), at(workspace), workspace.bytes,
                                   h, in, cpu->features};
#if KX_CPU_X86_PATHS
    return run_fused(cpu, b, h % 16 == 0, kx_cpu_lstm_step_avx512, kx_cpu_lstm_step_portable);
#else
    return run_fused<kx_cpu_step_block_t>(cpu, b, false, nullptr, kx_cpu_lstm_step_portable);
#endif
}

bool kx_cpu_linear_avx512_usable(uint32_t features) {
    return (features & KX_CPU_AVX512F) && kx_cpu_facts().avx512_vnni;
}
