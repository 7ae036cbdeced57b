// Device strings: the parser against a model of its grammar, with optional
// allocation failure. Input: [control byte] device string ['\n' best choice].
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/memory.h"
#include "device/cpu.h"
#include "device/device.h"
#include "fuzz_util.h"

namespace {

enum class Expect { Cpu, Gpu, Malformed, NotDevice };

struct Outcome {
    Expect kind;
    long threads;  // for Cpu: the thread count asked for (0 = default)
};

// The grammar, written independently of the parser.
Outcome model(const std::string& text, const std::string& best, int depth) {
    long value = 0;
    size_t prefix = text.size();
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
        const char* digits = text.c_str() + colon + 1;
        char* end = nullptr;
        errno = 0;
        value = std::strtol(digits, &end, 10);
        if (errno != 0 || *end != '\0' || value > INT32_MAX || value < INT32_MIN) return {Expect::Malformed, 0};
        prefix = colon;
    }
    if (text == "best") {
        if (depth < 4) {
            const Outcome first = model(best, "gpu", depth + 1);
            if (first.kind == Expect::Cpu) return first;
        }
        return {Expect::Cpu, 0};
    }
    const std::string word = text.substr(0, prefix);
    if (word.size() <= 3 && std::string("cpu").compare(0, word.size(), word) == 0) {
        if (value > KX_CPU_MAX_THREADS) return {Expect::NotDevice, 0};
        return {Expect::Cpu, value};
    }
    if (!word.empty() && word.size() <= 3 && std::string("gpu").compare(0, word.size(), word) == 0)
        return {Expect::Gpu, value};
    return {Expect::NotDevice, 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 96) return 0;
    FuzzReader in(data, size);
    const uint8_t control = in.u8();
    const std::vector<uint8_t> rest = in.rest();
    // The C string ends at the first NUL, as the caller's would.
    std::string all(rest.begin(), rest.end());
    all = all.substr(0, all.find('\0'));
    std::string text = all, best = "cpu:1";
    const size_t newline = all.find('\n');
    if (newline != std::string::npos) {
        text = all.substr(0, newline);
        best = all.substr(newline + 1);
    }

    // GPU strings meet a plug-in that is not there: the loader's failure is the outcome.
    setenv("KX_ORVEL_GPU_PLUGIN", "/nonexistent/kx_fuzz_no_plugin.so", 1);
    const Outcome expected = model(text, best, 0);
    // Large pools only cost time; the parser's limit is checked without creating one.
    if (expected.kind == Expect::Cpu && expected.threads > 8) return 0;

    const int64_t fail_at = (control & 0x80) ? (control & 0x1f) + 1 : 0;
    fuzz_drain_error_stack();
    kx_error_stack_begin_call();
    kx_device_t* const sentinel = reinterpret_cast<kx_device_t*>(uintptr_t{0x10});
    kx_device_t* device = sentinel;
    kx_fault_fail_allocation(fail_at);
    const kx_status_t status = kx_device_create_from_string(text.c_str(), best.c_str(), &device);
    const int64_t attempts = kx_fault_allocation_count();
    kx_fault_fail_allocation(0);
    const std::vector<std::string> messages = fuzz_drain_error_stack();

    const bool injected = fail_at != 0 && attempts >= fail_at;
    if (status == KX_STATUS_OUT_OF_MEMORY) {
        FUZZ_CHECK(injected);
        FUZZ_CHECK(device == sentinel);
        FUZZ_CHECK(!messages.empty());
        return 0;
    }
    switch (expected.kind) {
    case Expect::Malformed:
        FUZZ_CHECK(status == KX_STATUS_INVALID_ARGUMENT);
        FUZZ_CHECK(device == sentinel);
        FUZZ_CHECK(messages.empty());
        break;
    case Expect::Gpu:
        FUZZ_CHECK(status == KX_STATUS_RUNTIME_ERROR);
        FUZZ_CHECK(device == sentinel);
        FUZZ_CHECK(messages.size() == 3);
        FUZZ_CHECK(fuzz_message_code(messages[0]) == 0x345);
        break;
    case Expect::NotDevice:
        FUZZ_CHECK(status == KX_STATUS_INVALID_ARGUMENT);
        FUZZ_CHECK(device == sentinel);
        FUZZ_CHECK(messages.size() == 1);
        FUZZ_CHECK(fuzz_message_code(messages[0]) == 0x322);
        FUZZ_CHECK(messages[0].find(text + " is not a valid device string") != std::string::npos);
        break;
    case Expect::Cpu: {
        FUZZ_CHECK(status == KX_STATUS_SUCCESS);
        FUZZ_CHECK(device != sentinel && device != nullptr);
        FUZZ_CHECK(device->kind == KX_DEVICE_KIND_CPU);
        FUZZ_CHECK(device->refcount == 1);
        const auto* cpu = static_cast<const kx_cpu_device_t*>(device->backend);
        const long threads = expected.threads == 0 ? kx_cpu_processor_count() / 2 : expected.threads;
        // "best" may have fallen back to the default CPU device after an injected failure.
        if (!injected) FUZZ_CHECK(cpu->threads == threads);
        FUZZ_CHECK((cpu->pool != nullptr) == (cpu->threads > 1));
        kx_device_release(device);
        break;
    }
    }
    return 0;
}
