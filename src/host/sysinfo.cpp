// Physical memory of the machine and the memory limit of the control group
// the launcher runs in. A launcher inside a container must size the heap from
// the container's limit, not from the host's memory.

#include "host/sysinfo.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <vector>

#include "util/utl.h"

namespace {

constexpr const char* kProcSelfCgroup = "/proc/self/cgroup";
constexpr const char* kCgroupRoot = "/sys/fs/cgroup";

/// One line of /proc/self/cgroup: "hierarchy-id:controller,list:path".
struct CgroupLine {
  std::string id;
  std::string controllers;
  std::string path;
};

std::vector<CgroupLine> parseCgroupLines(const std::string& text) {
  std::vector<CgroupLine> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t first = line.find(':');
    if (first == std::string::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string::npos) continue;
    // The path is everything after the second colon: it may hold colons itself.
    lines.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1)});
  }
  return lines;
}

bool listsController(const std::string& controllers, const std::string& wanted) {
  std::istringstream in(controllers);
  std::string controller;
  while (std::getline(in, controller, ',')) {
    if (controller == wanted) return true;
  }
  return false;
}

/// base followed by the cgroup path, without the trailing '/' of "/" itself.
std::string below(const std::string& base, std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return base + path;
}

/// The first candidate that exists: it decides, even when it cannot be read.
/// Inside a container the group's own path is often not mounted, only the
/// root of its hierarchy.
std::optional<std::string> firstExisting(std::initializer_list<std::string> candidates) {
  for (const std::string& file : candidates) {
    if (utlFileExists(file)) return file;
  }
  return std::nullopt;
}

/// The limit in file; "max" (cgroup v2's "unlimited"), an unreadable or a
/// non-numeric content all mean no limit.
std::optional<CgroupMemoryLimit> readLimit(const std::string& file) {
  std::ifstream in(file);
  std::string value;
  if (!(in >> value) || value == "max") return std::nullopt;
  std::uint64_t bytes = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), bytes);
  if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
  return CgroupMemoryLimit{file, bytes};
}

}  // namespace

MemorySize getTotalPhysMem() {
  const long pageSize = sysconf(_SC_PAGESIZE);
  const long pages = sysconf(_SC_PHYS_PAGES);
  // The callers take 0 as "unknown" and leave the heap size to the JVM.
  if (pageSize <= 0 || pages <= 0) return 0;
  return static_cast<MemorySize>(pageSize) * static_cast<MemorySize>(pages);
}

std::optional<CgroupMemoryLimit> getCgroupMemoryLimit(const std::string& procSelfCgroup,
                                                      const std::string& cgroupRoot) {
  const std::vector<CgroupLine> lines = parseCgroupLines(procSelfCgroup);

  // A host may mount both versions; the unified hierarchy is asked first and
  // only speaks when it actually holds the memory controller's files.
  for (const CgroupLine& line : lines) {
    if (line.id != "0" || !line.controllers.empty()) continue;
    if (auto file = firstExisting({below(cgroupRoot, line.path) + "/memory.max", cgroupRoot + "/memory.max"})) {
      return readLimit(*file);
    }
    break;
  }

  // Version 1 writes "no limit" as a huge number; it is returned as it is,
  // since a limit only matters when it is below the physical memory.
  for (const CgroupLine& line : lines) {
    if (!listsController(line.controllers, "memory")) continue;
    const std::string hierarchy = cgroupRoot + "/memory";
    if (auto file = firstExisting({below(hierarchy, line.path) + "/memory.limit_in_bytes",
                                   hierarchy + "/memory.limit_in_bytes"})) {
      return readLimit(*file);
    }
    break;
  }
  return std::nullopt;
}

std::optional<CgroupMemoryLimit> getProcessCgroupMemoryLimit() {
  std::ifstream in(kProcSelfCgroup);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return getCgroupMemoryLimit(text.str(), kCgroupRoot);
}
