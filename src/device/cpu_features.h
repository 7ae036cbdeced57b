// Processor features: the one place that asks the processor, and the operating
// system, which instructions the CPU kernels and the FFT may use.
#pragma once

#include <cstdint>

enum kx_cpu_feature_t : uint32_t {
    KX_CPU_SSE41 = 1,
    KX_CPU_AVX = 2,
    KX_CPU_AVX2 = 4,
    KX_CPU_AVX512F = 8,
    KX_CPU_NEON = 16,
};

// What x86 CPUID and XGETBV report: leaf 0 EAX, leaf 1 ECX, leaf 7 sub-leaf 0 EBX
// and ECX (0 when the maximum leaf is below 7), and XCR0 (0 when OSXSAVE is clear).
struct kx_cpuid_report_t {
    uint32_t max_leaf;
    uint32_t leaf1_ecx;
    uint32_t leaf7_ebx;
    uint32_t leaf7_ecx;
    uint64_t xcr0;
};

struct kx_cpu_facts_t {
    uint32_t features;  // KX_CPU_* bits
    bool fma;           // fused multiply-add usable
    bool avx512_vnni;   // AVX512F, BW, VL and VNNI usable
};

// The usable features a report implies. A processor may report AVX or AVX-512
// while the operating system (or a hypervisor) leaves the wide registers unsaved;
// their instructions then fault, so AVX, AVX2 and FMA also need XCR0's SSE and
// ymm bits, and AVX-512 its opmask and zmm bits.
kx_cpu_facts_t kx_cpu_facts_from_report(const kx_cpuid_report_t& report);

// This processor's facts, detected on first use.
const kx_cpu_facts_t& kx_cpu_facts();

// KX_CPU_* bits of this processor.
uint32_t kx_cpu_detect_features();
