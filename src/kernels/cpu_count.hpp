// How many processors this process may run on, which is the size of the worker pool: the CPUs of
// its affinity mask, no more than a cgroup v2 CPU quota allows (rounded up), at least one.
#pragma once

#include <string_view>

namespace vexlora {

// The processors the calling thread may run on (its affinity mask, or every online processor where
// the mask cannot be read), capped by the CPU quota of this process's cgroup; at least 1.
unsigned usable_processor_count() noexcept;

// The whole CPUs that a cgroup v2 `cpu.max` text ("QUOTA PERIOD") allows, rounded up and at least 1;
// 0 where it sets no quota ("max ...") or is not such a text.
unsigned quota_cpus(std::string_view cpu_max) noexcept;

// The smallest quota (in whole CPUs) set on this process's cgroup v2 or any of its ancestors, found
// through the given `/proc/self/cgroup` and `/proc/self/mountinfo` files; 0 where none is set or the
// files cannot be read.
unsigned cgroup_quota_cpus(const char* proc_cgroup, const char* proc_mountinfo) noexcept;

}  // namespace vexlora
