// Which layout jlauncher-pack writes: the decision alone, over what the
// scan of the jars found, so that every rule is seen in one place.

#include "pack/pack.h"

namespace {

constexpr const char* kKeptNote = "the jars are kept whole: %s (--verbose lists every reason)";
constexpr const char* kKeptReasonNote = "the jars are kept whole: %s";
constexpr const char* kKeptAskedReason = "--keep-jars was given";
constexpr const char* kFlatNote = "the jars are merged: merging them loses nothing";
constexpr const char* kFlatAskedNote = "the jars are merged: --flat was given";

std::string withText(std::string pattern, const std::string& text) {
  return pattern.replace(pattern.find("%s"), 2, text);
}

}  // namespace

PackChoice packChooseLayout(const std::vector<PackFinding>& findings, const PackRequest& request) {
  PackChoice choice;
  if (request.keepJars) {
    choice.layout = PackLayout::kKeptJars;
    if (request.verbose) choice.notes.push_back(withText(kKeptReasonNote, kKeptAskedReason));
    return choice;
  }
  if (findings.empty() || request.flat) {
    // Merging anyway: each reason becomes what the merge loses.
    for (const PackFinding& finding : findings) {
      if (finding.flatWarnings.empty()) choice.warnings.push_back(finding.reason);
      choice.warnings.insert(choice.warnings.end(), finding.flatWarnings.begin(), finding.flatWarnings.end());
    }
    if (request.verbose) choice.notes.push_back(request.flat ? kFlatAskedNote : kFlatNote);
    return choice;
  }
  choice.layout = PackLayout::kKeptJars;
  if (!request.verbose) {
    choice.notes.push_back(withText(kKeptNote, findings.front().reason));
    return choice;
  }
  for (const PackFinding& finding : findings) choice.notes.push_back(withText(kKeptReasonNote, finding.reason));
  return choice;
}
