// The pool's size rule on a made-up cgroup v2 tree: quotas read along the cgroup and its ancestors,
// rounded up, the smallest kept; a container's mount root; paths the mount does not show.
#include "kernels/cpu_count.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

int failures = 0;

void expect(unsigned got, unsigned want, const char* what) {
    if (got != want) {
        ++failures;
        std::printf("%s: got %u, want %u\n", what, got, want);
    }
}

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

}  // namespace

int main() {
    using vexlora::quota_cpus;
    expect(quota_cpus("max 100000\n"), 0, "no quota");
    expect(quota_cpus("150000 100000\n"), 2, "one and a half CPUs round up");
    expect(quota_cpus("200000 100000"), 2, "two CPUs");
    expect(quota_cpus("1000 100000"), 1, "a sliver is one CPU");
    expect(quota_cpus(""), 0, "empty");
    expect(quota_cpus("100000 0"), 0, "no period");

    char pattern[] = "/tmp/vexlora-cgroup-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    const fs::path dir = pattern;
    const fs::path cg = dir / "cg";
    const std::string cgroup = (dir / "cgroup").string(), mountinfo = (dir / "mountinfo").string();
    auto mount_with_root = [&](const std::string& root) {
        write(mountinfo, "22 1 0:21 / /proc rw - proc proc rw\n30 22 0:26 " + root + " " + cg.string() +
                             " rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n");
    };
    mount_with_root("/");
    write(cgroup, "3:cpu:/elsewhere\n0::/a/b\n");
    write(cg / "a/b/cpu.max", "max 100000\n");
    write(cg / "a/cpu.max", "250000 100000\n");
    expect(vexlora::cgroup_quota_cpus(cgroup.c_str(), mountinfo.c_str()), 3, "the parent's quota");
    write(cg / "cpu.max", "200000 100000\n");
    expect(vexlora::cgroup_quota_cpus(cgroup.c_str(), mountinfo.c_str()), 2, "the smallest along the path");

    mount_with_root("/a");  // a container's view: the mount shows /a and below, its own cgroup is /a/b
    write(cg / "b/cpu.max", "100000 100000\n");
    expect(vexlora::cgroup_quota_cpus(cgroup.c_str(), mountinfo.c_str()), 1, "read under the mount root");
    write(cgroup, "0::/ab/c\n");
    expect(vexlora::cgroup_quota_cpus(cgroup.c_str(), mountinfo.c_str()), 0, "a path outside the mount root");
    write(cgroup, "0::/a/../..\n");
    expect(vexlora::cgroup_quota_cpus(cgroup.c_str(), mountinfo.c_str()), 0, "another cgroup namespace");
    write(mountinfo, "22 1 0:21 / /proc rw - proc proc rw\n");
    expect(vexlora::cgroup_quota_cpus(cgroup.c_str(), mountinfo.c_str()), 0, "no cgroup v2 mounted");
    fs::remove_all(dir);

    if (vexlora::usable_processor_count() == 0) ++failures, std::printf("no processor counted\n");
    std::printf(failures == 0 ? "cgroup quotas: all passed\n" : "cgroup quotas: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
