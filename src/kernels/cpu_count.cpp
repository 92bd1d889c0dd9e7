// The pool's size: the affinity mask (of any size) read with sched_getaffinity, and the cgroup v2
// CPU quota of this process's cgroup and its ancestors, found through /proc/self.
#include "kernels/cpu_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vexlora {
namespace {

// The whole text of a small file (a /proc or /sys entry), empty where it cannot be read.
std::string read_small_file(const std::string& path) {
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
    return text;
}

// Splits off the text up to `separator` (or the end) and returns it.
std::string_view take_until(std::string_view& text, char separator) {
    const std::size_t at = text.find(separator);
    const std::string_view head = text.substr(0, at);
    text = at == std::string_view::npos ? std::string_view{} : text.substr(at + 1);
    return head;
}

// The cgroup v2 mount's root (the part of the hierarchy it shows) and its mount point.
bool find_cgroup2_mount(std::string_view mountinfo, std::string& root, std::string& mount_point) {
    while (!mountinfo.empty()) {
        std::string_view line = take_until(mountinfo, '\n');
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        std::string_view after = line.substr(dash + 3);
        if (take_until(after, ' ') != "cgroup2") continue;
        std::string_view fields = line.substr(0, dash);
        for (int i = 0; i < 3; ++i) take_until(fields, ' ');  // id, parent id, device
        root = take_until(fields, ' ');
        mount_point = take_until(fields, ' ');
        return !mount_point.empty();
    }
    return false;
}

// This process's path in the cgroup v2 hierarchy: the "0::PATH" line.
bool find_cgroup2_path(std::string_view cgroups, std::string& path) {
    while (!cgroups.empty()) {
        const std::string_view line = take_until(cgroups, '\n');
        if (line.substr(0, 3) == "0::") {
            path = line.substr(3);
            return true;
        }
    }
    return false;
}

unsigned affinity_count() noexcept {
    // A fixed set covers CPU_SETSIZE processors; larger machines need a larger mask.
    for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        const int count = sched_getaffinity(0, bytes, set) == 0 ? CPU_COUNT_S(bytes, set) : -1;
        const int error = errno;
        CPU_FREE(set);
        if (count >= 0) return static_cast<unsigned>(count);
        if (error != EINVAL) return 0;
    }
    return 0;
}

}  // namespace

unsigned quota_cpus(std::string_view cpu_max) noexcept {
    std::uint64_t quota = 0, period = 0;
    const char* end = cpu_max.data() + cpu_max.size();
    const auto q = std::from_chars(cpu_max.data(), end, quota);
    if (q.ec != std::errc{} || q.ptr == end || *q.ptr != ' ') return 0;  // "max" lands here too
    const auto p = std::from_chars(q.ptr + 1, end, period);
    if (p.ec != std::errc{} || period == 0 || quota == 0) return 0;
    const std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return static_cast<unsigned>(std::min<std::uint64_t>(cpus, 1u << 20));
}

unsigned cgroup_quota_cpus(const char* proc_cgroup, const char* proc_mountinfo) noexcept {
    try {
        std::string root, mount_point, path;
        if (!find_cgroup2_mount(read_small_file(proc_mountinfo), root, mount_point)) return 0;
        if (!find_cgroup2_path(read_small_file(proc_cgroup), path)) return 0;
        // The mount shows the hierarchy from `root` down (a container's own cgroup, say): the path
        // must lie under it; one outside (another cgroup namespace) has no files here to read.
        if (root != "/") {
            if (path.compare(0, root.size(), root) != 0 || (path.size() > root.size() && path[root.size()] != '/'))
                return 0;
            path.erase(0, root.size());
        }
        if (path.find("/..") != std::string::npos) return 0;
        unsigned smallest = 0;
        for (;;) {
            const unsigned cpus = quota_cpus(read_small_file(mount_point + path + "/cpu.max"));
            if (cpus != 0) smallest = smallest == 0 ? cpus : std::min(smallest, cpus);
            const std::size_t slash = path.rfind('/');
            if (slash == std::string::npos || path.size() <= 1) break;
            path.erase(slash);
        }
        return smallest;
    } catch (...) {  // out of memory for a path: no quota known
        return 0;
    }
}

unsigned usable_processor_count() noexcept {
    unsigned cpus = affinity_count();
    if (cpus == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = online > 0 ? static_cast<unsigned>(online) : 1u;
    }
    const unsigned quota = cgroup_quota_cpus("/proc/self/cgroup", "/proc/self/mountinfo");
    if (quota != 0) cpus = std::min(cpus, quota);
    return std::max(cpus, 1u);
}

}  // namespace vexlora
