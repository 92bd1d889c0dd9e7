// Choosing the instruction set once, at the first pixel loop of the process.
// A lower set may be forced (for testing that every variant gives identical bits), never a higher one.
#include "kernels/isa.hpp"

#include <cstdlib>
#include <cstring>

namespace vexlora {
namespace {

const IsaTable& choose() {
#if defined(VEXLORA_X86)
    __builtin_cpu_init();
    const bool has_avx2 = __builtin_cpu_supports("avx2");
    const bool has_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    // Only the two names of a lower set restrict the choice; anything else leaves it to the CPU.
    const char* forced = std::getenv("VEXLORA_ISA");
    const bool baseline_only = forced != nullptr && std::strcmp(forced, "baseline") == 0;
    const bool allow_avx512 = !baseline_only && (forced == nullptr || std::strcmp(forced, "avx2") != 0);
    const bool allow_avx2 = !baseline_only;
    if (has_avx512 && allow_avx512) return avx512::isa_table();
    if (has_avx2 && allow_avx2) return avx2::isa_table();
#endif
    return baseline::isa_table();
}

}  // namespace

const IsaTable& active_isa() {
    static const IsaTable& table = choose();
    return table;
}

}  // namespace vexlora
