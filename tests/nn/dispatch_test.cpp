// Dispatch to kernels or references, the op-program interpreter and program instances.
#include <functional>
#include <memory>
#include <random>

#include "base/error.h"
#include "base/memory.h"
#include "fake_device.h"
#include "nn_test_util.h"
#include "support/error_stack.h"

namespace {

int g_calls[KX_OP_COUNT];
kx_status_t g_kernel_status = KX_STATUS_INVALID_ARGUMENT;

// Counts the call and declines (or returns the status a test asks for).
template <int Op>
kx_status_t counting_kernel(void*, void*, const kx_op_args_t*) {
    g_calls[Op]++;
    return g_kernel_status;
}

template <int... Ops>
struct CountingTable {
    kx_op_kernel_fn table[KX_OP_COUNT] = {};
    CountingTable() { ((table[Ops] = counting_kernel<Ops>), ...); }
};

struct CountingKind {
    CountingTable<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12> kernels;
    FakeKind kind{kernels.table};
    CountingKind() {
        for (int& c : g_calls) c = 0;
        g_kernel_status = KX_STATUS_INVALID_ARGUMENT;
    }
    int total() const {
        int sum = 0;
        for (int c : g_calls) sum += c;
        return sum;
    }
};

int g_linear_computed = 0;

// A LINEAR kernel that handles only rows of a multiple of 16 columns, computing on the
// device memory directly, and declines every other shape.
kx_status_t linear_kernel(void*, void*, const kx_op_args_t* args) {
    const int32_t vectors = args->ints[0], rows = args->ints[1], columns = args->ints[2];
    if (columns % 16 != 0) return KX_STATUS_INVALID_ARGUMENT;
    g_linear_computed++;
    uint8_t* out = fake_device_memory(args->buffers[0]) + args->ints[3];
    const uint8_t* in = fake_device_memory(args->buffers[1]) + args->ints[4];
    const auto* w = reinterpret_cast<const int8_t*>(fake_device_memory(args->buffers[2]));
    const auto* b = reinterpret_cast<const int8_t*>(fake_device_memory(args->buffers[3]));
    for (int v = 0; v < vectors; ++v)
        for (int r = 0; r < rows; ++r) {
            int64_t acc = b[r] * 1024;
            for (int c = 0; c < columns; ++c) {
                int16_t x;
                std::memcpy(&x, in + 2 * (v * columns + c), 2);
                acc += w[r * columns + c] * x;
            }
            const int16_t y = saturate16((acc + 64) >> 7);
            std::memcpy(out + 2 * (v * rows + r), &y, 2);
        }
    return KX_STATUS_SUCCESS;
}

std::vector<std::string> messages_after(const std::function<void()>& action) {
    kx_error_stack_begin_call();
    action();
    return fetch_error_stack();
}

}  // namespace

TEST(Dispatch, DeclinedShapesRunOnTheReferenceWithIdenticalResults) {
    kx_op_kernel_fn kernels[KX_OP_COUNT] = {};
    kernels[KX_OP_LINEAR] = linear_kernel;
    FakeKind fake(kernels);
    CpuDevice cpu;
    cpu.get()->flags |= KX_DEVICE_FLAG_REFERENCE_ONLY;
    std::mt19937 rng(8);
    g_linear_computed = 0;
    int runs = 0;
    for (int columns : {16, 7, 32, 1, 48, 20}) {
        const int vectors = 2, rows = 9;
        std::vector<int16_t> x(vectors * columns);
        std::vector<int8_t> w(rows * columns), b(rows);
        for (auto& v : x) v = static_cast<int16_t>(rng());
        for (auto& v : w) v = static_cast<int8_t>(rng());
        for (auto& v : b) v = static_cast<int8_t>(rng());
        std::vector<int16_t> results[2];
        int k = 0;
        for (kx_device_t* device : {fake.device(), cpu.get()}) {
            Buffer out(device, 1 + 2 * vectors * rows), in(device, 3 + 2 * x.size()), wb(device, w.size()),
                bb(device, b.size());
            in.put(x, 3);
            wb.put(w);
            bb.put(b);
            ASSERT_EQ(run_op(device, KX_OP_LINEAR, {out.get(), in.get(), wb.get(), bb.get()},
                             {vectors, rows, columns, 1, 3}),
                      KX_STATUS_SUCCESS);
            results[k++] = out.get_values<int16_t>(vectors * rows, 1);
        }
        EXPECT_EQ(results[0], results[1]) << columns << " columns";
        ++runs;
    }
    EXPECT_EQ(g_linear_computed, 3);  // 16, 32 and 48 columns; the rest were declined
    EXPECT_EQ(fake.backend().maps_open, 0);
    EXPECT_EQ(fake.backend().double_maps, 0);
}

TEST(Dispatch, ReferenceOnlyFlagBypassesKernels) {
    CountingKind counting;
    kx_device_t* device = counting.kind.device();
    Buffer a(device, 8);
    ASSERT_EQ(run_op(device, KX_OP_ZERO, {a.get()}, {8, 0}), KX_STATUS_SUCCESS);
    EXPECT_EQ(g_calls[KX_OP_ZERO], 1);
    device->flags |= KX_DEVICE_FLAG_REFERENCE_ONLY;
    ASSERT_EQ(run_op(device, KX_OP_ZERO, {a.get()}, {8, 0}), KX_STATUS_SUCCESS);
    EXPECT_EQ(g_calls[KX_OP_ZERO], 1);
}

TEST(Dispatch, KernelFailureIsReturnedAndRecordedByTheInterpreter) {
    CountingKind counting;
    kx_device_t* device = counting.kind.device();
    g_kernel_status = KX_STATUS_RUNTIME_ERROR;
    Buffer a(device, 8);
    EXPECT_EQ(run_op(device, KX_OP_ZERO, {a.get()}, {8, 0}), KX_STATUS_RUNTIME_ERROR);
    kx_buffer_t* table[] = {a.get()};
    const int32_t program[] = {KX_OP_ZERO, 0, 8, 0};
    kx_status_t status = KX_STATUS_SUCCESS;
    const auto messages = messages_after([&] { status = kx_op_program_run(device, table, program, 1, 0, 4); });
    EXPECT_EQ(status, KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages, (std::vector<std::string>{framed(801, "Failed to execute operator")}));
}

// On a kind whose buffers live apart from the host, each reference must ask for the
// contents it reads and keep the bytes around a partial write: every operator gives the
// CPU's results, byte for byte, over whole buffers filled with random data.
TEST(Dispatch, ReferencesGiveTheSameBytesOnSeparateMemory) {
    FakeKind fake;
    CpuDevice cpu;
    std::mt19937 rng(21);
    float eps = 1e-3f;
    int32_t eps_bits;
    std::memcpy(&eps_bits, &eps, 4);
    const struct {
        kx_op_t op;
        std::vector<uint32_t> sizes;
        std::vector<int32_t> ints;
    } cases[] = {
        {KX_OP_ADD, {40, 30, 30}, {10, 3, 1, 5}},
        {KX_OP_LINEAR_ACCUMULATE, {40, 40, 64, 8}, {2, 8, 4, 1, 2}},
        {KX_OP_LINEAR, {40, 40, 64, 8}, {2, 8, 4, 3, 2}},
        {KX_OP_GELU, {40, 40}, {5, 4, 9}},
        {KX_OP_NORMALIZE_QUANTIZE, {40, 64}, {eps_bits, 4, 3}},
        {KX_OP_LSTM_CELL, {40, 40, 40}, {4, 21, 1, 5}},
        {KX_OP_MATMUL_F32, {40, 40, 64}, {1, 3, 4, 2, 7, 9}},
        {KX_OP_COPY, {40, 40}, {11, 2, 20}},
        {KX_OP_ZERO, {40}, {9, 13}},
        {KX_OP_RELU, {40, 40}, {5, 1, 0}},
        {KX_OP_SOFTMAX, {64, 40}, {2, 3, 3, 5}},
        {KX_OP_STANDARDIZE, {40, 40, 8, 8}, {3, 4, 1, 13}},
        {KX_OP_SUM_POOL, {40, 40}, {3, 4, 6, 1}},
    };
    for (const auto& c : cases) {
        std::vector<std::vector<uint8_t>> contents;
        for (uint32_t size : c.sizes) {
            std::vector<uint8_t> bytes(size);
            for (auto& v : bytes) v = static_cast<uint8_t>(rng());
            // Keep float inputs finite so that NaN payloads cannot differ.
            for (uint32_t k = 3; k < size; k += 4) bytes[k] &= 0x3F;
            contents.push_back(bytes);
        }
        std::vector<std::vector<uint8_t>> after[2];
        int k = 0;
        for (kx_device_t* device : {fake.device(), cpu.get()}) {
            std::vector<std::unique_ptr<Buffer>> buffers;
            kx_op_args_t args{};
            for (size_t i = 0; i < c.sizes.size(); ++i) {
                buffers.emplace_back(new Buffer(device, c.sizes[i]));
                buffers.back()->put(contents[i]);
                args.buffers[i] = buffers.back()->get();
            }
            for (size_t i = 0; i < c.ints.size(); ++i) args.ints[i] = c.ints[i];
            ASSERT_EQ(kx_op_execute(device, c.op, &args), KX_STATUS_SUCCESS) << c.op;
            for (size_t i = 0; i < c.sizes.size(); ++i) {
                // The gates of the cell are scratch; compare everything else.
                if (c.op == KX_OP_LSTM_CELL && i == 2) continue;
                after[k].push_back(buffers[i]->get_values<uint8_t>(c.sizes[i]));
            }
            ++k;
        }
        EXPECT_EQ(after[0], after[1]) << "operator " << c.op;
    }
    EXPECT_EQ(fake.backend().maps_open, 0);
    EXPECT_EQ(fake.backend().double_maps, 0);
}

TEST(ProgramRun, MalformedInstructionsCallNothingAndRecordNothing) {
    CountingKind counting;
    kx_device_t* device = counting.kind.device();
    Buffer a(device, 16), b(device, 16);
    kx_buffer_t* table[] = {a.get(), b.get()};
    const int32_t copy[] = {KX_OP_COPY, 0, 1, 4, 0, 0};
    const int32_t bad_index[] = {KX_OP_COPY, 0, 2, 4, 0, 0};
    const int32_t negative_index[] = {KX_OP_COPY, -1, 1, 4, 0, 0};
    const int32_t bad_code[] = {13, 0, 0};
    const int32_t negative_code[] = {-1, 0, 0};
    const struct {
        const int32_t* program;
        int32_t start, end;
    } cases[] = {
        {copy, 0, 5},          // the last int operand is cut
        {copy, 0, 2},          // cut inside the buffer operands
        {copy, 0, 1},          // only the code
        {bad_index, 0, 6},     // index equal to the buffer count
        {negative_index, 0, 6},
        {bad_code, 0, 3},
        {negative_code, 0, 3},
    };
    for (const auto& c : cases) {
        kx_status_t status = KX_STATUS_SUCCESS;
        const auto messages =
            messages_after([&] { status = kx_op_program_run(device, table, c.program, 2, c.start, c.end); });
        EXPECT_EQ(status, KX_STATUS_INVALID_ARGUMENT);
        EXPECT_TRUE(messages.empty());
    }
    EXPECT_EQ(counting.total(), 0);

    // An empty range does nothing and succeeds, whatever the array holds.
    EXPECT_EQ(kx_op_program_run(device, table, bad_code, 2, 1, 1), KX_STATUS_SUCCESS);
    EXPECT_EQ(kx_op_program_run(device, table, nullptr, 2, 3, 3), KX_STATUS_SUCCESS);
    EXPECT_EQ(counting.total(), 0);
}

TEST(ProgramRun, SectionsRunSeparately) {
    CpuDevice device;
    Buffer a(device, 8), b(device, 8);
    a.put(std::vector<int16_t>{1, 2, 3, 4});
    kx_buffer_t* table[] = {a.get(), b.get()};
    // Section one copies a into b; section two adds b onto a twice.
    const int32_t program[] = {KX_OP_COPY, 1, 0, 8, 0, 0,                                   //
                               KX_OP_ADD,  0, 0, 1, 4, 0, 0, 0, KX_OP_ADD, 0, 0, 1, 4, 0, 0, 0};
    ASSERT_EQ(kx_op_program_run(device, table, program, 2, 0, 6), KX_STATUS_SUCCESS);
    EXPECT_EQ(b.get_values<int16_t>(4), (std::vector<int16_t>{1, 2, 3, 4}));
    ASSERT_EQ(kx_op_program_run(device, table, program, 2, 6, 22), KX_STATUS_SUCCESS);
    EXPECT_EQ(a.get_values<int16_t>(4), (std::vector<int16_t>{3, 6, 9, 12}));
    // Starting inside the second section runs only the last instruction.
    ASSERT_EQ(kx_op_program_run(device, table, program, 2, 14, 22), KX_STATUS_SUCCESS);
    EXPECT_EQ(a.get_values<int16_t>(4), (std::vector<int16_t>{4, 8, 12, 16}));
}

namespace {

const int16_t kConstant[4] = {10, -20, 30, -40};
// Buffer 0: scratch; 1: constant; 2: scratch with a flag bit that must pass through.
const kx_tensor_desc_t kDescriptors[3] = {
    {8, 0, nullptr},
    {8, KX_BUFFER_FLAG_BORROWED, const_cast<int16_t*>(kConstant)},
    {4, 4, nullptr},
};
// Initialisation: copy the constant into scratch 0 and zero buffer 2.
const int32_t kProgram[] = {KX_OP_COPY, 0, 1, 8, 0, 0, KX_OP_ZERO, 2, 4, 0};

}  // namespace

TEST(ProgramInstance, ConstantDescriptorsAreBorrowedOnTheCpu) {
    CpuDevice device;
    kx_program_t* program = nullptr;
    ASSERT_EQ(kx_program_create(device, kDescriptors, 3, kProgram, 0, 10, &program), KX_STATUS_SUCCESS);
    EXPECT_EQ(device.get()->refcount, 2);
    EXPECT_EQ(program->buffer_count, 3);
    EXPECT_EQ(program->buffers[1], &kDescriptors[1]);
    EXPECT_NE(program->buffers[0], &kDescriptors[0]);
    EXPECT_EQ(program->buffers[0]->size, 8u);
    EXPECT_EQ(program->buffers[2]->flags, 4u);
    int16_t copied[4];
    std::memcpy(copied, program->buffers[0]->storage, 8);
    EXPECT_EQ(std::vector<int16_t>(copied, copied + 4), std::vector<int16_t>(kConstant, kConstant + 4));
    kx_program_free(program);
    EXPECT_EQ(device.get()->refcount, 1);
    kx_program_free(nullptr);
}

TEST(ProgramInstance, OtherKindsGetWrittenCopies) {
    FakeKind fake;
    kx_program_t* program = nullptr;
    ASSERT_EQ(kx_program_create(fake.device(), kDescriptors, 3, kProgram, 0, 10, &program), KX_STATUS_SUCCESS);
    EXPECT_NE(program->buffers[1], &kDescriptors[1]);
    EXPECT_EQ(program->buffers[1]->flags, 0u);
    EXPECT_EQ(std::memcmp(fake_device_memory(program->buffers[1]), kConstant, 8), 0);
    EXPECT_EQ(std::memcmp(fake_device_memory(program->buffers[0]), kConstant, 8), 0);
    EXPECT_EQ(fake.backend().buffers_alive, 3);
    kx_program_free(program);
    EXPECT_EQ(fake.backend().buffers_alive, 0);
}

TEST(ProgramInstance, EveryAllocationFailure) {
    CpuDevice device;
    // Allocations: 1 the instance, 2 the table, 3-4 buffer 0, 5-6 buffer 2.
    const std::vector<std::string> instance = {framed(200, "Failed to allocate, out of memory.")};
    const std::vector<std::string> table = {framed(803, "Failed to allocate, out of memory."),
                                            framed(310, "OUT_OF_MEMORY")};
    const std::vector<std::string> buffer = {framed(804, "Failed to allocate, out of memory."),
                                             framed(804, "Failed to allocate, out of memory."),
                                             framed(310, "OUT_OF_MEMORY")};
    const std::vector<std::string> expected[] = {instance, table, buffer, buffer, buffer, buffer};
    for (int n = 1; n <= 7; ++n) {
        kx_program_t* program = nullptr;
        kx_status_t status = KX_STATUS_SUCCESS;
        const auto messages = messages_after([&] {
            kx_fault_fail_allocation(n);
            status = kx_program_create(device, kDescriptors, 3, kProgram, 0, 10, &program);
            kx_fault_fail_allocation(0);
        });
        if (n == 7) {
            ASSERT_EQ(status, KX_STATUS_SUCCESS);
            kx_program_free(program);
            break;
        }
        EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
        EXPECT_EQ(program, nullptr);
        EXPECT_EQ(messages, expected[n - 1]) << n;
        EXPECT_EQ(device.get()->refcount, 1) << n;
    }
}

TEST(ProgramInstance, WriteFailureAndInitialisationFailure) {
    FakeKind fake;
    kx_program_t* program = nullptr;
    kx_status_t status = KX_STATUS_SUCCESS;
    fake.backend().writes_failing = 1;
    auto messages = messages_after([&] { status = kx_program_create(fake.device(), kDescriptors, 3, kProgram, 0, 10, &program); });
    EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(messages, (std::vector<std::string>{framed(310, "aba5af0"),
                                                  framed(804, "Failed to allocate, out of memory."),
                                                  framed(310, "OUT_OF_MEMORY")}));
    EXPECT_EQ(fake.backend().buffers_alive, 0);
    fake.backend().writes_failing = 0;

    // A malformed initialisation section: the status name, then nothing left behind.
    messages = messages_after([&] { status = kx_program_create(fake.device(), kDescriptors, 3, kProgram, 0, 9, &program); });
    EXPECT_EQ(status, KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(messages, (std::vector<std::string>{framed(310, "INVALID_ARGUMENT")}));
    EXPECT_EQ(fake.backend().buffers_alive, 0);
    EXPECT_EQ(fake.device()->refcount, 1);
}

TEST(ProgramInstance, OperatorFailureDuringInitialisation) {
    CountingKind counting;
    g_kernel_status = KX_STATUS_RUNTIME_ERROR;
    kx_program_t* program = nullptr;
    kx_status_t status = KX_STATUS_SUCCESS;
    const auto messages = messages_after(
        [&] { status = kx_program_create(counting.kind.device(), kDescriptors, 3, kProgram, 0, 10, &program); });
    EXPECT_EQ(status, KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages, (std::vector<std::string>{framed(801, "Failed to execute operator"),
                                                  framed(310, "RUNTIME_ERROR")}));
    EXPECT_EQ(counting.kind.backend().buffers_alive, 0);
}
