// The packer's readers of what jars hold, on any bytes: the input read as a
// manifest, written and read again, and cut at its first two NUL bytes into
// two or three copies of a file (one copy and an empty one when it holds
// none), merged under each path whose format the packer knows. The packer
// keeps no state between runs and touches no file here.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pack/pack.h"

namespace {

// One path of each format the merge table knows.
constexpr const char* kMergedPaths[] = {
    "META-INF/services/x.Y",    "META-INF/groovy/org.codehaus.groovy.runtime.ExtensionModule",
    "META-INF/spring.handlers", "META-INF/spring.factories",
    "META-INF/spring/x.imports", "META-INF/LICENSE.txt"};

std::vector<std::string> copiesOf(const std::string& text) {
  std::vector<std::string> copies;
  std::size_t at = 0;
  for (int cut = 0; cut < 2; ++cut) {
    std::size_t end = text.find('\0', at);
    if (end == std::string::npos) break;
    copies.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  copies.push_back(text.substr(at));
  if (copies.size() == 1) copies.emplace_back();
  return copies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  PackManifest manifest = packParseManifest(text);
  packManifestMainClass(manifest);
  packParseManifest(packWriteManifest(manifest));
  std::vector<std::string> copies = copiesOf(text);
  for (const char* path : kMergedPaths) {
    std::string merged;
    packMergeFile(path, copies, &merged);
  }
  return 0;
}
