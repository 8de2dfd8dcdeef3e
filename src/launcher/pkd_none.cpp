// A launcher built without libzip (a cross profile given no libzip for its
// target) runs single-file applications whose jars are merged, and refuses
// those it would have to extract.

#include "launcher/pkd.h"

std::unique_ptr<PkdArchive> pkdOpenArchive(const std::string&, std::string* error) {
  *error = "this launcher was built without the archive reader that extraction needs";
  return nullptr;
}
