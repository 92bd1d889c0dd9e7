// Stress test of the worker pool under ThreadSanitizer: several threads submit jobs at once and
// check that every piece ran exactly once and that its writes are visible when run() returns.
#include "kernels/scratch.hpp"
#include "kernels/thread_pool.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Tally {
    std::vector<int> runs;  // plain ints: a missing happens-before edge is a reported race
};

void run_piece(void* context, std::uint32_t piece, vexlora::Scratch&) {
    auto& tally = *static_cast<Tally*>(context);
    ++tally.runs[piece];
    volatile unsigned spin = 0;  // uneven pieces, so that threads finish in varying orders
    for (unsigned k = 0; k < (piece % 5) * 300; ++k) spin = spin + k;
}

}  // namespace

int main(int argc, char** argv) {
    // One caller: no other job's completion can wake a submitter whose own wake-up was lost.
    const int kCallers = argc > 1 ? std::atoi(argv[1]) : 3;
    constexpr int kJobsPerCaller = 2000;
    vexlora::ThreadPool* pool = vexlora::ThreadPool::create(3);
    if (pool == nullptr) {
        std::fprintf(stderr, "pool did not start\n");
        return 2;
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            auto scratch = std::make_unique<vexlora::Scratch>();
            for (int j = 0; j < kJobsPerCaller; ++j) {
                const auto pieces = static_cast<std::uint32_t>((j * 7 + c) % 41);  // 0 .. 40
                Tally tally;
                tally.runs.assign(pieces, 0);
                vexlora::ThreadPool::Job job;
                job.run_piece = run_piece;
                job.context = &tally;
                job.piece_count = pieces;
                pool->run(job, *scratch);
                for (int r : tally.runs) wrong += r != 1;
            }
        });
    }
    for (auto& t : callers) t.join();
    std::printf("%d jobs from %d submitting threads, %d pieces not run exactly once\n", kCallers * kJobsPerCaller, kCallers,
                wrong.load());
    return wrong.load() == 0 ? 0 : 1;
}
