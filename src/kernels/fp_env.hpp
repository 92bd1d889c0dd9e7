// FpEnvGuard: IEEE single-precision behaviour for a pixel loop, whatever the calling thread set.
// Flush-to-zero or unmasked traps left by other libraries would make results depend on the thread.
#pragma once

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif
#include <cstdint>

namespace vexlora {

#if defined(__SSE__) || defined(__x86_64__)
// Round to nearest, all exceptions masked, no flush-to-zero, no denormals-are-zero.
inline constexpr unsigned kDefaultMxcsr = 0x1F80;

class FpEnvGuard {
public:
    FpEnvGuard() noexcept : saved_(_mm_getcsr()) {
        if ((saved_ & 0xFFC0u) != kDefaultMxcsr) _mm_setcsr(kDefaultMxcsr | (saved_ & 0x3Fu));
    }
    ~FpEnvGuard() { _mm_setcsr(saved_); }
    FpEnvGuard(const FpEnvGuard&) = delete;
    FpEnvGuard& operator=(const FpEnvGuard&) = delete;

private:
    unsigned saved_;
};

inline void set_default_fp_env() noexcept { _mm_setcsr(kDefaultMxcsr); }
#elif defined(__aarch64__)
// FPCR fields the loops fix at 0: round to nearest (RMode, bits 22-23), no flush-to-zero (FZ, bit
// 24; FZ16, bit 19; FIZ, bit 0), no default NaN (DN, bit 25), the standard NaN and flag handling
// (AH, bit 1; NEP, bit 2) and no exception traps (IOE to IDE, bits 8-12 and 15). Other bits stay.
inline constexpr std::uint64_t kFixedFpcrBits = (std::uint64_t{3} << 22) | (std::uint64_t{1} << 24) |
                                                (std::uint64_t{1} << 25) | (std::uint64_t{1} << 19) |
                                                0x9F00u | 0x7u;

inline std::uint64_t read_fpcr() noexcept {
    std::uint64_t value;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(value) : : "memory");
    return value;
}

inline void write_fpcr(std::uint64_t value) noexcept {
    __asm__ __volatile__("msr fpcr, %0" : : "r"(value) : "memory");
}

class FpEnvGuard {
public:
    FpEnvGuard() noexcept : saved_(read_fpcr()) {
        if ((saved_ & kFixedFpcrBits) != 0) write_fpcr(saved_ & ~kFixedFpcrBits);
    }
    ~FpEnvGuard() {
        if ((saved_ & kFixedFpcrBits) != 0) write_fpcr(saved_);
    }
    FpEnvGuard(const FpEnvGuard&) = delete;
    FpEnvGuard& operator=(const FpEnvGuard&) = delete;

private:
    std::uint64_t saved_;
};

inline void set_default_fp_env() noexcept { write_fpcr(read_fpcr() & ~kFixedFpcrBits); }
#else
class FpEnvGuard {};
inline void set_default_fp_env() noexcept {}
#endif

// The float32 nearest to `value`, and the float32 sum a + b rounded to nearest, under the fixed
// environment of the pixel loops whatever rounding mode or flush-to-zero the calling thread set:
// the per-call scalars are rounded as the loops round. The volatile copies keep the conversion and
// the addition between the switch of environment and its restoration.
inline float to_float32_nearest(double value) noexcept {
    FpEnvGuard fp_env;
    volatile double in = value;
    volatile float out = static_cast<float>(in);
    return out;
}

inline float add_float32_nearest(float a, float b) noexcept {
    FpEnvGuard fp_env;
    volatile float x = a, y = b;
    volatile float sum = x + y;
    return sum;
}

// Orders this thread's non-temporal stores before whatever it does next (such as reporting a piece
// done): those stores are weakly ordered and would otherwise not be visible to the waiting thread.
inline void store_fence() noexcept {
#if defined(__SSE__) || defined(__x86_64__)
    _mm_sfence();
#endif
}

}  // namespace vexlora
