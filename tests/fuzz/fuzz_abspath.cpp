// utlMakeAbsPath on any text. The first byte chooses the flag (bit 0) and
// what a relative path is anchored at (bits 1-2): the launcher's directory,
// or the directory of an absolute, a relative or a bare configuration file
// name. The rest is the path.
#include <string>
#include <vector>

#include "config/cfg.h"
#include "fuzz_support.h"
#include "util/utl.h"

namespace {

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    parts.push_back(path.substr(0, slash));
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  FuzzRun run;
  const bool relative = (data[0] & 1) != 0;
  const char* const anchors[] = {nullptr, "/opt/app/conf/app.config", "conf/app.config", "app.config"};
  const char* anchor = anchors[(data[0] >> 1) & 3];
  cfgSetCurrentConfigFile(anchor);
  std::string_view path = fuzzText(data + 1, size - 1);

  std::string result = utlMakeAbsPath(path, relative ? cfgGetAnchorDirectory() : std::string());
  // A normal form: '/' separators only, no empty or "." component, ".."
  // only leading a relative path, and normalising it again changes nothing.
  FUZZ_CHECK(!result.empty() && result.find('\\') == std::string::npos);
  const bool absolute = result.starts_with('/');
  if (result != "/" && result != ".") {
    std::vector<std::string_view> parts = components(absolute ? std::string_view(result).substr(1) : result);
    bool leading = !absolute;
    for (std::string_view part : parts) {
      FUZZ_CHECK(!part.empty() && part != ".");
      if (part != "..") leading = false;
      FUZZ_CHECK(part != ".." || leading);
    }
  }
  const bool anchoredAbsolute = anchor == nullptr || anchor[0] == '/';
  if (path.starts_with('/') || (relative && anchoredAbsolute)) FUZZ_CHECK(absolute);
  FUZZ_CHECK(utlMakeAbsPath(result) == result);
  return 0;
}
