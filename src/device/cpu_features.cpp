#include "device/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#elif defined(__arm__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace {

constexpr uint32_t kLeaf1Sse41 = 1u << 19, kLeaf1Fma = 1u << 12, kLeaf1Osxsave = 1u << 27, kLeaf1Avx = 1u << 28;
constexpr uint32_t kLeaf7Avx2 = 1u << 5, kLeaf7Avx512f = 1u << 16, kLeaf7Avx512bw = 1u << 30,
                   kLeaf7Avx512vl = 1u << 31;
constexpr uint32_t kLeaf7EcxVnni = 1u << 11;
constexpr uint64_t kXcr0Ymm = 0x6;    // SSE and AVX state
constexpr uint64_t kXcr0Zmm = 0xE6;   // plus opmask and both halves of the zmm state

kx_cpu_facts_t detect() {
    kx_cpu_facts_t facts{};
#if defined(__x86_64__) || defined(__i386__)
    kx_cpuid_report_t report{};
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    report.max_leaf = eax;
    if (report.max_leaf == 0) return facts;
    __cpuid(1, eax, ebx, ecx, edx);
    report.leaf1_ecx = ecx;
    if (report.max_leaf > 6) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        report.leaf7_ebx = ebx;
        report.leaf7_ecx = ecx;
    }
    // XGETBV itself faults unless the operating system has set OSXSAVE.
    if (report.leaf1_ecx & kLeaf1Osxsave) {
        uint32_t lo, hi;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        report.xcr0 = (static_cast<uint64_t>(hi) << 32) | lo;
    }
    facts = kx_cpu_facts_from_report(report);
#elif defined(__aarch64__)
    facts.features = KX_CPU_NEON;  // part of the AArch64 base architecture
#elif defined(__arm__) && defined(__linux__)
    // 32-bit ARM cores without NEON exist (and run armhf), so ask the kernel.
    constexpr unsigned long kHwcapNeon = 1ul << 12;
    if (getauxval(AT_HWCAP) & kHwcapNeon) facts.features = KX_CPU_NEON;
#endif
    return facts;
}

}  // namespace

kx_cpu_facts_t kx_cpu_facts_from_report(const kx_cpuid_report_t& report) {
    kx_cpu_facts_t facts{};
    if (report.max_leaf == 0) return facts;
    const uint32_t ecx = report.leaf1_ecx;
    const uint32_t ebx7 = report.max_leaf > 6 ? report.leaf7_ebx : 0;
    const uint32_t ecx7 = report.max_leaf > 6 ? report.leaf7_ecx : 0;
    const uint64_t xcr0 = (ecx & kLeaf1Osxsave) ? report.xcr0 : 0;
    const bool ymm = (xcr0 & kXcr0Ymm) == kXcr0Ymm;
    const bool zmm = (xcr0 & kXcr0Zmm) == kXcr0Zmm;
    if (ecx & kLeaf1Sse41) facts.features |= KX_CPU_SSE41;
    if (ymm && (ecx & kLeaf1Avx)) facts.features |= KX_CPU_AVX;
    if (ymm && (ebx7 & kLeaf7Avx2)) facts.features |= KX_CPU_AVX2;
    if (zmm && (ebx7 & kLeaf7Avx512f)) facts.features |= KX_CPU_AVX512F;
    facts.fma = ymm && (ecx & kLeaf1Fma);
    constexpr uint32_t kAvx512Set = kLeaf7Avx512f | kLeaf7Avx512bw | kLeaf7Avx512vl;
    facts.avx512_vnni = zmm && (ebx7 & kAvx512Set) == kAvx512Set && (ecx7 & kLeaf7EcxVnni);
    return facts;
}

const kx_cpu_facts_t& kx_cpu_facts() {
    static const kx_cpu_facts_t facts = detect();
    return facts;
}

uint32_t kx_cpu_detect_features() { return kx_cpu_facts().features; }
