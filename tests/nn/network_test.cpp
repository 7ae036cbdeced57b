// Reading the network block: layout, every failure row, partial frees, hostile sizes.
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>

#include "base/error.h"
#include "base/memory.h"
#include "fake_device.h"
#include "nn/network.h"
#include "nn_test_util.h"
#include "support/error_stack.h"

namespace {

struct LayerShape {
    int32_t hidden, input;
};

// What a part of the block is, for the failure records a cut inside it gives.
enum class Part { head, layer_sizes, layer_data, projection_ints, matrix };

struct Block {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, Part>> parts;  // (end offset, part), in file order

    void int32(int32_t v) {
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * k)));
    }
    void mark(Part part) { parts.emplace_back(bytes.size(), part); }
    void data(size_t count, uint8_t seed) {
        for (size_t k = 0; k < count; ++k) bytes.push_back(static_cast<uint8_t>(seed + 13 * k));
    }
};

struct BlockShape {
    int32_t layer_count = 2;
    float epsilon = 0.25f;
    std::vector<LayerShape> forward = {{4, 5}, {3, 4}};
    std::vector<LayerShape> backward = {{4, 5}, {3, 4}};
    int32_t embedding = 2, pooled = 3, kind = 1;
    bool matrix = true;

    Block build() const {
        Block b;
        b.int32(layer_count);
        int32_t bits;
        std::memcpy(&bits, &epsilon, 4);
        b.int32(bits);
        b.mark(Part::head);
        uint8_t seed = 1;
        for (const auto* direction : {&forward, &backward})
            for (const LayerShape& l : *direction) {
                b.int32(l.hidden);
                b.int32(l.input);
                b.mark(Part::layer_sizes);
                if (l.hidden > 0 && l.input > 0 && l.hidden < 1000) {
                    b.data(3 * l.hidden * (l.hidden + l.input) + 3 * l.hidden, seed++);
                    b.mark(Part::layer_data);
                }
            }
        b.int32(embedding);
        b.int32(pooled);
        b.int32(kind);
        b.mark(Part::projection_ints);
        if (matrix && embedding > 0 && pooled > 0 && int64_t{embedding} * pooled < 100000) {
            b.data(4 * embedding * pooled, 99);
            b.mark(Part::matrix);
        }
        return b;
    }
};

FILE* file_with(const std::vector<uint8_t>& bytes, size_t length) {
    FILE* file = std::tmpfile();
    if (length) std::fwrite(bytes.data(), 1, length, file);
    std::rewind(file);
    return file;
}

// A pipe cannot tell how much it holds, so the reader meets the end only by reading.
FILE* pipe_with(const std::vector<uint8_t>& bytes, size_t length) {
    int fds[2];
#if defined(_WIN32)
    if (_pipe(fds, 1 << 16, _O_BINARY) != 0) return nullptr;
#else
    if (pipe(fds) != 0) return nullptr;
#endif
    if (length && write(fds[1], bytes.data(), length) != static_cast<ssize_t>(length)) return nullptr;
    close(fds[1]);
    return fdopen(fds[0], "rb");
}

struct ReadResult {
    kx_status_t status;
    kx_network_t* network;
    std::vector<std::string> messages;
};

ReadResult read_from(kx_device_t* device, FILE* file) {
    ReadResult r{KX_STATUS_SUCCESS, nullptr, {}};
    kx_error_stack_begin_call();
    r.status = kx_network_read(device, file, &r.network);
    r.messages = fetch_error_stack();
    std::fclose(file);
    return r;
}

ReadResult read_block(kx_device_t* device, const Block& block) {
    return read_from(device, file_with(block.bytes, block.bytes.size()));
}

const std::string kOom = "Failed to allocate, out of memory.";
const std::string kRead = "Failed to read parameter from file.";

std::vector<std::string> records_for_cut(Part part) {
    switch (part) {
        case Part::head: return {framed(202, kRead)};
        case Part::layer_sizes: return {framed(202, kRead), framed(310, "8c960ef")};
        case Part::layer_data: return {framed(310, "5143e09"), framed(310, "8c960ef")};
        case Part::projection_ints: return {framed(202, kRead), framed(310, "8cc8d77")};
        case Part::matrix: return {framed(310, "5143e09"), framed(310, "8cc8d77")};
    }
    return {};
}

std::vector<uint8_t> contents(kx_device_t* device, kx_buffer_t* buffer) {
    std::vector<uint8_t> bytes(kx_buffer_size(device, buffer));
    const auto* p = static_cast<uint8_t*>(kx_buffer_map(device, buffer, 1));
    std::memcpy(bytes.data(), p, bytes.size());
    kx_buffer_unmap(device, buffer, 0);
    return bytes;
}

std::string unusable(const std::string& what) {
    return framed(107, "Orvel model (.kx) file holds an unusable value: " + what);
}

}  // namespace

TEST(NetworkRead, FileBytesBecomeBufferBytes) {
    CpuDevice device;
    const BlockShape shape;
    const Block block = shape.build();
    ReadResult r = read_block(device, block);
    ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
    kx_network_t* n = r.network;
    EXPECT_EQ(n->layer_count, 2);
    EXPECT_EQ(n->norm_epsilon, 0.25f);
    EXPECT_EQ(n->embedding_size, 2);
    EXPECT_EQ(n->pooled_size, 3);
    EXPECT_EQ(n->projection_kind, 1);
    EXPECT_EQ(kx_network_input_size(n), 5);
    // Walk the block in file order and compare every parameter byte.
    size_t at = 8;
    for (kx_lstm_layer_t* layers : {n->forward, n->backward})
        for (int i = 0; i < 2; ++i) {
            const kx_lstm_layer_t& l = layers[i];
            EXPECT_EQ(l.hidden_size, shape.forward[i].hidden);
            EXPECT_EQ(l.input_size, shape.forward[i].input);
            at += 8;
            const size_t w = 3 * l.hidden_size * (l.hidden_size + l.input_size);
            EXPECT_EQ(contents(device, l.weights), std::vector<uint8_t>(&block.bytes[at], &block.bytes[at + w]));
            at += w;
            EXPECT_EQ(contents(device, l.bias),
                      std::vector<uint8_t>(&block.bytes[at], &block.bytes[at + 3 * l.hidden_size]));
            at += 3 * l.hidden_size;
        }
    at += 12;
    EXPECT_EQ(contents(device, n->projection), std::vector<uint8_t>(&block.bytes[at], &block.bytes[at + 24]));
    EXPECT_EQ(at + 24, block.bytes.size());
    kx_network_free(device, n);
    kx_network_free(device, nullptr);
}

TEST(NetworkRead, ProjectionKinds) {
    CpuDevice device;
    // Kind 0: no matrix, and the file may end right after the three integers.
    BlockShape shape;
    shape.kind = 0;
    shape.matrix = false;
    shape.embedding = 3;
    ReadResult r = read_block(device, shape.build());
    ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
    EXPECT_EQ(r.network->projection, nullptr);
    kx_network_free(device, r.network);
    // Any other non-zero kind reads a matrix like 1; only execution refuses it.
    for (int32_t kind : {2, -7}) {
        shape.kind = kind;
        shape.matrix = true;
        shape.embedding = 2;
        r = read_block(device, shape.build());
        ASSERT_EQ(r.status, KX_STATUS_SUCCESS) << kind;
        EXPECT_EQ(r.network->projection_kind, kind);
        ASSERT_NE(r.network->projection, nullptr);
        EXPECT_EQ(kx_buffer_size(device, r.network->projection), 24u);
        kx_network_free(device, r.network);
        shape.matrix = false;
        r = read_block(device, shape.build());
        EXPECT_EQ(r.status, KX_STATUS_IO_ERROR) << kind;
        EXPECT_EQ(r.messages, records_for_cut(Part::matrix));
    }
}

TEST(NetworkRead, NoLayersAndTheSmallestLayer) {
    CpuDevice device;
    BlockShape shape;
    shape.layer_count = 0;
    shape.forward.clear();
    shape.backward.clear();
    shape.pooled = 40;
    shape.embedding = 40;
    shape.kind = 0;
    shape.matrix = false;
    ReadResult r = read_block(device, shape.build());
    ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
    EXPECT_EQ(r.network->layer_count, 0);
    EXPECT_EQ(kx_network_input_size(r.network), 40);
    kx_network_free(device, r.network);

    shape.layer_count = 1;
    shape.forward = shape.backward = {{1, 1}};
    shape.pooled = shape.embedding = 1;
    const Block block = shape.build();
    EXPECT_EQ(block.bytes.size(), 8u + 2 * (8 + 6 + 3) + 12);
    r = read_block(device, block);
    ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
    EXPECT_EQ(kx_buffer_size(device, r.network->forward[0].weights), 6u);
    EXPECT_EQ(kx_buffer_size(device, r.network->backward[0].bias), 3u);
    kx_network_free(device, r.network);
}

// Cut the block after every byte, from a file and from a pipe, on a kind that counts
// its buffers: the records name the part that was cut and nothing is left behind.
TEST(NetworkRead, EveryTruncation) {
    FakeKind fake;
    const Block block = BlockShape().build();
    for (bool from_pipe : {false, true}) {
        size_t part = 0;
        for (size_t length = 0; length < block.bytes.size(); ++length) {
            while (block.parts[part].first <= length) ++part;
            FILE* file = from_pipe ? pipe_with(block.bytes, length) : file_with(block.bytes, length);
            ASSERT_NE(file, nullptr);
            ReadResult r = read_from(fake.device(), file);
            ASSERT_EQ(r.status, KX_STATUS_IO_ERROR) << length;
            EXPECT_EQ(r.network, nullptr);
            EXPECT_EQ(r.messages, records_for_cut(block.parts[part].second)) << length << (from_pipe ? " pipe" : "");
            ASSERT_EQ(fake.backend().buffers_alive, 0) << length;
            ASSERT_EQ(fake.backend().maps_open, 0) << length;
        }
        ReadResult r = read_from(fake.device(), from_pipe ? pipe_with(block.bytes, block.bytes.size())
                                                          : file_with(block.bytes, block.bytes.size()));
        ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
        EXPECT_EQ(fake.backend().buffers_alive, 2 * 2 * 2 + 1);
        kx_network_free(fake.device(), r.network);
        EXPECT_EQ(fake.backend().buffers_alive, 0);
    }
}

TEST(NetworkRead, EveryAllocationFailure) {
    CpuDevice device;
    // Hidden size 16 also gets the fused direction's workspaces where the processor's
    // kernel uses them (two more allocations per direction, made at load); without
    // one the direction runs operator by operator, so its failure fails nothing.
    BlockShape fused;
    fused.forward = fused.backward = {{16, 5}, {16, 16}};
    fused.pooled = 16;
    for (const BlockShape& shape : {BlockShape(), fused}) {
        const Block block = shape.build();
        // 1 the record, 2-3 the layer arrays, then two allocations per buffer: each
        // direction's weights, bias and any workspace, then the projection.
        int64_t layer_end = 3;
        std::vector<int64_t> workspace_allocations;
        for (const auto* direction : {&shape.forward, &shape.backward})
            for (const LayerShape& l : *direction) {
                layer_end += 4;
                if (kx_op_lstm_sequence_workspace(device, l.hidden, l.input) <= 0) continue;
                workspace_allocations.insert(workspace_allocations.end(), {layer_end + 1, layer_end + 2});
                layer_end += 2;
            }
        for (int n = 1;; ++n) {
            FILE* file = file_with(block.bytes, block.bytes.size());
            kx_fault_fail_allocation(n);
            ReadResult r = read_from(device, file);
            kx_fault_fail_allocation(0);
            if (std::count(workspace_allocations.begin(), workspace_allocations.end(), n)) {
                ASSERT_EQ(r.status, KX_STATUS_SUCCESS) << n;
                EXPECT_TRUE(r.messages.empty()) << n;
                kx_network_free(device, r.network);
                continue;
            }
            if (n == layer_end + 3) {
                ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
                kx_network_free(device, r.network);
                break;
            }
            ASSERT_EQ(r.status, KX_STATUS_OUT_OF_MEMORY) << n;
            EXPECT_EQ(r.network, nullptr);
            std::vector<std::string> expected = {framed(200, kOom)};
            if (n >= 4) expected = {framed(804, kOom), framed(310, n <= layer_end ? "8c960ef" : "8cc8d77")};
            EXPECT_EQ(r.messages, expected) << n;
        }
    }
}

TEST(NetworkRead, UnusableShapesAreRefusedBeforeAllocating) {
    CpuDevice device;
    const std::string layer = "8c960ef", projection = "8cc8d77";
    struct Case {
        const char* name;
        void (*edit)(BlockShape&);
        std::string text;
        std::string trace;
    };
    const Case cases[] = {
        {"negative layer count", [](BlockShape& s) { s.layer_count = -1; }, "layer_count -1", ""},
        {"absurd layer count", [](BlockShape& s) { s.layer_count = 1 << 30; }, "layer_count 1073741824", ""},
        {"zero hidden", [](BlockShape& s) { s.forward[0].hidden = 0; }, "hidden_size 0 of forward layer 0", layer},
        {"negative input", [](BlockShape& s) { s.forward[1].input = -4; }, "input_size -4 of forward layer 1", layer},
        {"overflowing weights",
         [](BlockShape& s) { s.forward[0] = {30000, 30000}; },
         "hidden_size 30000 and input_size 30000 of forward layer 0 (weights beyond 2^31 bytes)", layer},
        {"int32 extremes",
         [](BlockShape& s) { s.forward[0] = {2147483647, 2147483647}; },
         "hidden_size 2147483647 and input_size 2147483647 of forward layer 0 (weights beyond 2^31 bytes)", layer},
        {"broken chain",
         [](BlockShape& s) { s.forward[1].input = 5; },
         "input_size 5 of forward layer 1 (layer 0 has hidden_size 4)", layer},
        {"directions differ",
         [](BlockShape& s) { s.backward[1] = {2, 4}; },
         "hidden_size 2 and input_size 4 of backward layer 1 (forward direction has 3 and 4)", layer},
        {"zero pooled", [](BlockShape& s) { s.pooled = 0; }, "pooled_size 0", projection},
        {"pooled not last hidden",
         [](BlockShape& s) { s.pooled = 4; },
         "pooled_size 4 (last layer has hidden_size 3)", projection},
        {"negative embedding", [](BlockShape& s) { s.embedding = -2; }, "embedding_size -2", projection},
        {"embedding without projection",
         [](BlockShape& s) {
             s.kind = 0;
             s.embedding = 2;
         },
         "embedding_size 2 without projection (pooled_size is 3)", projection},
        {"overflowing projection",
         [](BlockShape& s) { s.embedding = 300000000; },
         "embedding_size 300000000 and pooled_size 3 (projection beyond 2^31 bytes)", projection},
        {"overflowing pooled vector",
         [](BlockShape& s) {
             s.layer_count = 0;
             s.forward.clear();
             s.backward.clear();
             s.pooled = s.embedding = 1 << 30;
             s.kind = 0;
         },
         "pooled_size 1073741824", projection},
    };
    for (const Case& c : cases) {
        BlockShape shape;
        c.edit(shape);
        kx_fault_fail_allocation(0);
        ReadResult r = read_block(device, shape.build());
        EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT) << c.name;
        EXPECT_EQ(r.network, nullptr);
        std::vector<std::string> expected = {unusable(c.text)};
        if (!c.trace.empty()) expected.push_back(framed(310, c.trace));
        EXPECT_EQ(r.messages, expected) << c.name;
    }
}

// A size the file cannot hold is found short before a buffer of that size is made.
TEST(NetworkRead, SizesBeyondTheFileAllocateNothingLarge) {
    CpuDevice device;
    BlockShape shape;
    shape.forward[0] = {20000, 5};  // 1.2 GB of weights announced, a few bytes present
    const Block block = shape.build();
    FILE* file = file_with(block.bytes, block.bytes.size());
    kx_fault_fail_allocation(0);
    ReadResult r = read_from(device, file);
    EXPECT_EQ(r.status, KX_STATUS_IO_ERROR);
    EXPECT_EQ(r.messages, records_for_cut(Part::layer_data));
    EXPECT_EQ(kx_fault_allocation_count(), 3);  // the record and the two layer arrays
}
