// CpuDispatch.h - which processor-specific code paths this build has.
//
// Two kinds of path exist on x86:
//   MORVANE_CLONE_AVX2 marks a plain loop that the compiler clones for AVX2,
//     the copy chosen once by the loader.  That needs ifunc, which ELF
//     targets have and Windows does not; elsewhere (and under Clang, below)
//     the mark is empty and the loop is compiled once for the baseline.
//   MORVANE_X86_DISPATCH is 1 where kernels written for AVX2 and FMA can be
//     compiled beside the baseline ones and chosen at run time with
//     CpuHasAvx2Fma(); on other processors (64-bit Arm, say) only the
//     portable kernels exist.
// Every path computes the same expressions; the FMA kernels may differ from
// the portable ones in the last bits of a result.
#ifndef MORVANE_TIEMARK_CPUDISPATCH_H
#define MORVANE_TIEMARK_CPUDISPATCH_H

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define MORVANE_X86_DISPATCH 1
#else
#define MORVANE_X86_DISPATCH 0
#endif

// Clang 14 makes the resolver of a cloned function with internal linkage a
// global symbol, which a shared library then exports, and takes no
// visibility attribute beside target_clones: there the loops are compiled
// once for the baseline, as on Windows.
#if MORVANE_X86_DISPATCH && defined(__ELF__) && !defined(__clang__)
#define MORVANE_CLONE_AVX2 __attribute__((target_clones("avx2", "default")))
#else
#define MORVANE_CLONE_AVX2
#endif

namespace tiemark {

// True when the processor runs AVX2 and FMA instructions (and this build has
// kernels for them).
inline bool CpuHasAvx2Fma() {
#if MORVANE_X86_DISPATCH
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

// True when the processor also runs the AVX-512 foundation and
// doubleword/quadword instructions (eight lanes of 64 bits), with AVX2 and
// FMA.
inline bool CpuHasAvx512() {
#if MORVANE_X86_DISPATCH
    __builtin_cpu_init();
    return CpuHasAvx2Fma() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

}  // namespace tiemark

#endif
