// Memory floor passes: the bytes of a two-band index moved with almost no arithmetic, on every
// core, with streaming stores. bench/memory_floor.py builds this file and times it beside vexlora.
//
// Passes (floor_pass's `kind`) over side x side images, rows (or columns) split evenly by thread:
//   0 "streamed write":         fill a C-ordered float32 output (4 bytes per pixel);
//   1 "read two bands":         sum two C-ordered uint16 bands, nothing written (4 bytes per pixel);
//   2 "two bands -> float32":   out = float(a) + float(b), the bytes of NDVI or ratio (8 per pixel);
//   3 "streamed write, tiled":  the fill in the order a transposing tile writes a C-ordered output:
//                               32 floats (128 bytes) of each of up to 8192 rows, then the next 32 columns;
//   4 "read two bands, tiled":  the read of two Fortran-ordered bands in the order a transposing tile
//                               reads them: up to 8192 elements down each of 32 columns, four abreast.
// The threads wait for a pass on a futex, as a pool's workers would, so a pass includes the
// hand-off a real call pays.
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

#if defined(__AVX512F__)
constexpr std::size_t kLanes = 16;
using Floats = __m512;
inline void stream(float* p, Floats v) { _mm512_stream_ps(p, v); }
#elif defined(__AVX__)
constexpr std::size_t kLanes = 8;
using Floats = __m256;
inline void stream(float* p, Floats v) { _mm256_stream_ps(p, v); }
#else
constexpr std::size_t kLanes = 4;
using Floats = __m128;
inline void stream(float* p, Floats v) { _mm_stream_ps(p, v); }
#endif

constexpr std::size_t kTileRuns = 8192;
constexpr std::size_t kTileWidth = 32;

typedef float FloatVec __attribute__((vector_size(kLanes * 4)));
typedef std::uint16_t HalfVec __attribute__((vector_size(kLanes * 2)));

inline FloatVec load_band(const std::uint16_t* p) {
    HalfVec h;
    std::memcpy(&h, p, sizeof h);
    return __builtin_convertvector(h, FloatVec);
}

inline void stream_vec(float* p, FloatVec v) {
    Floats f;
    std::memcpy(&f, &v, sizeof f);
    stream(p, f);
}

float horizontal_sum(FloatVec v) {
    float total = 0;
    for (std::size_t k = 0; k < kLanes; ++k) total += v[k];
    return total;
}

struct Pass {
    int kind;
    const std::uint16_t* a;
    const std::uint16_t* b;
    float* out;
    std::size_t side;
};

// Rows [r0, r1) of the pass (columns, for the Fortran-ordered read); returns a sum that keeps
// the reads from being optimised away.
float run_share(const Pass& p, std::size_t r0, std::size_t r1) {
    const std::size_t side = p.side;
    const std::size_t first = r0 * side, end = r1 * side;
    FloatVec acc = {};
    switch (p.kind) {
        case 0:
            for (std::size_t i = first; i < end; i += kLanes) stream_vec(p.out + i, FloatVec{});
            break;
        case 1:
            for (std::size_t i = first; i < end; i += kLanes) acc += load_band(p.a + i) + load_band(p.b + i);
            break;
        case 2:
            for (std::size_t i = first; i < end; i += kLanes) {
                stream_vec(p.out + i, load_band(p.a + i) + load_band(p.b + i));
            }
            break;
        case 3:
            for (std::size_t t0 = r0; t0 < r1; t0 += kTileRuns) {
                for (std::size_t c0 = 0; c0 < side; c0 += kTileWidth) {
                    for (std::size_t r = t0; r < std::min(r1, t0 + kTileRuns); ++r) {
                        for (std::size_t c = c0; c < c0 + kTileWidth; c += kLanes) stream_vec(p.out + r * side + c, FloatVec{});
                    }
                }
            }
            break;
        case 4:
            for (std::size_t t0 = 0; t0 < side; t0 += kTileRuns) {
                for (std::size_t c0 = r0; c0 < r1; c0 += kTileWidth) {
                    for (std::size_t c = c0; c < c0 + kTileWidth; c += 4) {
                        for (std::size_t r = t0; r < std::min(side, t0 + kTileRuns); r += kLanes) {
                            for (std::size_t k = 0; k < 4; ++k) {
                                acc += load_band(p.a + (c + k) * side + r) + load_band(p.b + (c + k) * side + r);
                            }
                        }
                    }
                }
            }
            break;
    }
    _mm_sfence();  // the streamed lines are out before the share counts as done, as in the kernels
    return horizontal_sum(acc);
}

// The calling thread and one waiting thread per further core; each takes an equal share of the
// 64-row tiles (shares differ by at most one tile; with more threads than tiles some have none).
class Team {
public:
    explicit Team(unsigned threads) : threads_(std::max(1u, threads)) {
        for (unsigned t = 1; t < threads_; ++t) others_.emplace_back([this, t] { serve(t); });
    }
    ~Team() {
        stop_.store(true);
        round_.fetch_add(1);
        round_.notify_all();
        for (auto& th : others_) th.join();
    }
    unsigned size() const { return threads_; }

    float run(const Pass& pass) {
        pass_ = pass;
        done_.store(0);
        sums_.store(0);
        round_.fetch_add(1, std::memory_order_release);
        round_.notify_all();
        float sum = share(0);
        while (done_.load(std::memory_order_acquire) != threads_ - 1) {
        }
        return sum + sums_.load();
    }

private:
    float share(unsigned t) {
        const std::size_t tiles = pass_.side / kTileWidth;
        return run_share(pass_, tiles * t / threads_ * kTileWidth, tiles * (t + 1) / threads_ * kTileWidth);
    }
    void serve(unsigned t) {
        std::uint64_t seen = 0;
        for (;;) {
            round_.wait(seen, std::memory_order_acquire);
            seen = round_.load(std::memory_order_acquire);
            if (stop_.load()) return;
            const float s = share(t);
            float expected = sums_.load();
            while (!sums_.compare_exchange_weak(expected, expected + s)) {
            }
            done_.fetch_add(1, std::memory_order_release);
        }
    }

    unsigned threads_;
    std::vector<std::thread> others_;
    std::atomic<std::uint64_t> round_{0};
    std::atomic<unsigned> done_{0};
    std::atomic<float> sums_{0};
    std::atomic<bool> stop_{false};
    Pass pass_{};
};

Team& team() {
    static Team t(std::thread::hardware_concurrency());
    return t;
}

}  // namespace

extern "C" {

unsigned floor_threads() { return team().size(); }

// One pass of `kind` over side x side arrays (side a multiple of 64); see the top of the file.
float floor_pass(int kind, const std::uint16_t* a, const std::uint16_t* b, float* out, std::size_t side) {
    // Streaming stores fault on vectors off their alignment; passes walk whole 64-element tiles.
    if (side % kTileWidth != 0 || reinterpret_cast<std::uintptr_t>(out) % 64 != 0) return __builtin_nanf("");
    return team().run(Pass{kind, a, b, out, side});
}

}
