// The executable's archive read with libzip, which finds it after the
// launcher's own bytes and checks each entry's CRC as it is read.

#include <zip.h>

#include "launcher/pkd.h"

namespace {

class ZipArchive : public PkdArchive {
 public:
  explicit ZipArchive(zip_t* archive) : archive_(archive) {}
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;
  ~ZipArchive() override { zip_discard(archive_); }

  std::vector<PkdEntry> entries(std::string_view prefix) override {
    std::vector<PkdEntry> found;
    zip_int64_t count = zip_get_num_entries(archive_, 0);
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
      const char* name = zip_get_name(archive_, i, ZIP_FL_ENC_RAW);
      if (name == nullptr || !std::string_view(name).starts_with(prefix)) continue;
      zip_uint8_t system = 0;
      zip_uint32_t attributes = 0;
      zip_file_get_external_attributes(archive_, i, 0, &system, &attributes);
      found.push_back({name, system == ZIP_OPSYS_UNIX ? attributes >> 16 : 0});
    }
    return found;
  }

  bool read(const std::string& name, const Sink& sink, std::string* error) override {
    zip_file_t* file = zip_fopen(archive_, name.c_str(), ZIP_FL_ENC_RAW);
    if (file == nullptr) {
      *error = "'" + name + "' cannot be read: " + zip_strerror(archive_);
      return false;
    }
    char block[65536];
    zip_int64_t n;
    bool taken = true;
    while (taken && (n = zip_fread(file, block, sizeof block)) > 0) taken = sink(block, static_cast<std::size_t>(n));
    bool ok = taken && n == 0;
    if (taken && n < 0) *error = "'" + name + "' cannot be read: " + zip_file_strerror(file);
    zip_fclose(file);
    return ok;
  }

 private:
  zip_t* archive_;
};

}  // namespace

std::unique_ptr<PkdArchive> pkdOpenArchive(const std::string& path, std::string* error) {
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (archive == nullptr) {
    zip_error_t zipError;
    zip_error_init_with_code(&zipError, code);
    *error = "'" + path + "' cannot be read as an archive: " + zip_error_strerror(&zipError);
    zip_error_fini(&zipError);
    return nullptr;
  }
  return std::make_unique<ZipArchive>(archive);
}
