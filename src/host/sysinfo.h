// sysinfo: how much memory the machine, or the control group the launcher runs
// in, gives the JVM.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/platform.h"

/// Bytes of memory. The Solaris build has always counted unsigned; both count
/// in 64 bits, since 32 bits wrap on machines with 2 GiB and more.
using MemorySize = std::conditional_t<kSolaris, std::uint64_t, std::int64_t>;

/// Physical memory in bytes (page size times physical pages), 0 when unknown.
MemorySize getTotalPhysMem();

/// A memory limit of the launcher's control group.
struct CgroupMemoryLimit {
  std::string file;    ///< the file the limit was read from
  std::uint64_t bytes;
};

/// The memory limit of the control group named in procSelfCgroup (the text
/// of /proc/self/cgroup), looked up below cgroupRoot (/sys/fs/cgroup): the
/// cgroup v2 memory.max, else the v1 memory.limit_in_bytes. None when there
/// is no limit or it cannot be read.
std::optional<CgroupMemoryLimit> getCgroupMemoryLimit(const std::string& procSelfCgroup,
                                                      const std::string& cgroupRoot);
/// The same for the running process.
std::optional<CgroupMemoryLimit> getProcessCgroupMemoryLimit();
