#include "pack/pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace {

constexpr const char* kManifest = "META-INF/MANIFEST.MF";
constexpr const char* kServicesDir = "META-INF/services/";

void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void report(const char* format, ...) {
  std::fputs("jlauncher-pack: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A jar signature names the digests of the original jar's entries; in a
// merged archive it no longer holds, and the JVM would refuse the jar.
bool isSignatureFile(const std::string& name) {
  std::string path = upper(name);
  if (!path.starts_with("META-INF/") || path.find('/', 9) != std::string::npos) return false;
  for (const char* suffix : {".SF", ".RSA", ".DSA", ".EC"}) {
    if (path.ends_with(suffix)) return true;
  }
  return false;
}

bool isServiceFile(const std::string& name) {
  return name.starts_with(kServicesDir) && name.size() > std::strlen(kServicesDir) && !name.ends_with("/");
}

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ZipCloser>;

enum class EntryRead { kDone, kFailed, kTooLarge };

// Reads one entry through, which checks its CRC, appending its bytes to
// *data, or dropping them when data is null. Appending stops before *data
// would pass kMaxHeldEntrySize: only the bytes read count, since the size an
// archive declares may be a lie. A failure is reported here; a size is the
// caller's to report, as only it knows what it was gathering.
EntryRead readEntry(zip_t* archive, zip_uint64_t index, const std::string& jar, std::string* data) {
  zip_stat_t stat;
  zip_file_t* file = zip_stat_index(archive, index, 0, &stat) == 0 ? zip_fopen_index(archive, index, 0) : nullptr;
  if (file == nullptr) {
    report("error: cannot read entry %" PRIu64 " of '%s': %s", index, jar.c_str(), zip_strerror(archive));
    return EntryRead::kFailed;
  }
  EntryRead result = EntryRead::kDone;
  char block[65536];
  zip_int64_t n;
  while ((n = zip_fread(file, block, sizeof block)) > 0) {
    if (data == nullptr) continue;
    if (data->size() + static_cast<std::size_t>(n) > kMaxHeldEntrySize) {
      result = EntryRead::kTooLarge;
      break;
    }
    data->append(block, static_cast<std::size_t>(n));
  }
  if (n < 0) {
    report("error: cannot read the jar '%s': its entry '%s': %s", jar.c_str(), zip_get_name(archive, index, 0),
           zip_file_strerror(file));
    result = EntryRead::kFailed;
  }
  zip_fclose(file);
  return result;
}

void reportTooLarge(const std::string& name, const std::string& jar) {
  report("error: '%s' of '%s' is larger than %zu MiB", name.c_str(), jar.c_str(), kMaxHeldEntrySize >> 20);
}

// Where libzip writes the merged archive: the temporary output file, after
// the launcher's bytes already in it. Every position libzip asks for or is
// told is a position in the whole file, so the entry and central directory
// offsets it records count from the start of the executable, as unzip and
// zipinfo expect of an archive with data before it.
struct OutputSink {
  int fd = -1;
  off_t start = 0;  ///< the size of the launcher copy
  zip_error_t error;
};

zip_int64_t sinkFail(OutputSink& sink, int zipError) {
  zip_error_set(&sink.error, zipError, errno);
  return -1;
}

zip_int64_t sinkCallback(void* userdata, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  OutputSink& sink = *static_cast<OutputSink*>(userdata);
  switch (command) {
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_WRITABLE;
    case ZIP_SOURCE_STAT:
      // A new archive: there is nothing to read.
      zip_stat_init(static_cast<zip_stat_t*>(data));
      return sizeof(zip_stat_t);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&sink.error, data, length);
    case ZIP_SOURCE_BEGIN_WRITE:
      if (ftruncate(sink.fd, sink.start) != 0 || lseek(sink.fd, sink.start, SEEK_SET) < 0) {
        return sinkFail(sink, ZIP_ER_WRITE);
      }
      return 0;
    case ZIP_SOURCE_WRITE: {
      const char* bytes = static_cast<const char*>(data);
      for (zip_uint64_t done = 0; done < length;) {
        ssize_t n = write(sink.fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return sinkFail(sink, ZIP_ER_WRITE);
        done += static_cast<zip_uint64_t>(n);
      }
      return static_cast<zip_int64_t>(length);
    }
    case ZIP_SOURCE_SEEK_WRITE: {
      auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &sink.error);
      if (args == nullptr) return -1;
      if (lseek(sink.fd, args->offset, args->whence) < 0) return sinkFail(sink, ZIP_ER_SEEK);
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE: {
      off_t position = lseek(sink.fd, 0, SEEK_CUR);
      return position < 0 ? sinkFail(sink, ZIP_ER_TELL) : position;
    }
    case ZIP_SOURCE_COMMIT_WRITE:
      return fsync(sink.fd) == 0 ? 0 : sinkFail(sink, ZIP_ER_WRITE);
    default:
      // Opening, reading, closing, rolling back, removing and freeing need
      // nothing: the caller owns the file and removes it on failure.
      return 0;
  }
}

// Copies the launcher into the temporary file a block at a time: nothing
// needs it whole, and it is megabytes held for nothing while the jars are
// merged. False after a reported failure.
bool copyLauncher(const std::string& launcher, int fd, off_t& size) {
  std::ifstream in(launcher, std::ios::binary);
  if (!in) {
    report("error: cannot read the launcher '%s': %s", launcher.c_str(), std::strerror(errno));
    return false;
  }
  char block[65536];
  size = 0;
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    for (std::streamsize done = 0; done < in.gcount();) {
      ssize_t n = write(fd, block + done, static_cast<std::size_t>(in.gcount() - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        report("error: cannot write the output: %s", std::strerror(errno));
        return false;
      }
      done += n;
    }
    size += static_cast<off_t>(in.gcount());
  }
  if (size == 0 || in.bad()) {
    report("error: cannot read the launcher '%s'", launcher.c_str());
    return false;
  }
  return true;
}

// The temporary output beside the output: closed, and removed unless it has
// become the output, however the run ends (a refusal, a failure, an
// exception on its way to main).
class TempOutput {
 public:
  explicit TempOutput(const std::string& output)
      : path_(output + ".XXXXXX"), fd_(mkstemp(path_.data())), created_(fd_ >= 0) {}
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;
  ~TempOutput() {
    close();
    if (created_) unlink(path_.c_str());
  }

  bool created() const { return created_; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  /// False when closing reported a write error.
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }
  /// Renames the file to output, after which nothing removes it.
  bool renameTo(const std::string& output) {
    if (rename(path_.c_str(), output.c_str()) != 0) return false;
    created_ = false;
    return true;
  }

 private:
  std::string path_;
  int fd_;
  bool created_;
};

class Packer {
 public:
  explicit Packer(const PackRequest& request) : request_(request) {}

  int run() {
    if (!openJars() || !makeConfiguration()) return 1;
    struct stat existing;
    if (!request_.force && lstat(request_.output.c_str(), &existing) == 0) {
      report("error: '%s' exists; use --force to replace it", request_.output.c_str());
      return 1;
    }
    TempOutput temp(request_.output);
    if (!temp.created()) {
      report("error: cannot create a file beside '%s': %s", request_.output.c_str(), std::strerror(errno));
      return 1;
    }
    // mkstemp makes the file private; the output is an executable as the
    // user's umask would make one.
    mode_t mask = umask(0);
    umask(mask);
    bool ok = write(temp.fd(), temp.path()) && fchmod(temp.fd(), 0777 & ~mask) == 0;
    if (!temp.close()) ok = false;
    if (ok && !temp.renameTo(request_.output)) {
      report("error: cannot write '%s': %s", request_.output.c_str(), std::strerror(errno));
      ok = false;
    }
    return ok ? 0 : 1;
  }

 private:
  bool openJars() {
    if (request_.jars.empty()) {
      report("error: no jar given (see jlauncher-pack --help)");
      return false;
    }
    for (const std::string& jar : request_.jars) {
      int error = 0;
      zip_t* archive = zip_open(jar.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
      if (archive == nullptr) {
        zip_error_t zipError;
        zip_error_init_with_code(&zipError, error);
        report("error: cannot read the jar '%s': %s", jar.c_str(), zip_error_strerror(&zipError));
        zip_error_fini(&zipError);
        return false;
      }
      jars_.emplace_back(archive);
    }
    return true;
  }

  bool makeConfiguration() {
    std::string mainClass = request_.mainClass;
    if (mainClass.empty()) {
      zip_int64_t index = zip_name_locate(jars_.front().get(), kManifest, 0);
      if (index >= 0) {
        std::string manifest;
        EntryRead read =
            readEntry(jars_.front().get(), static_cast<zip_uint64_t>(index), request_.jars.front(), &manifest);
        if (read == EntryRead::kTooLarge) reportTooLarge(kManifest, request_.jars.front());
        if (read != EntryRead::kDone) return false;
        mainClass = packManifestMainClass(manifest);
      }
    }
    if (mainClass.empty()) {
      report("error: no main class: '%s' has no Main-Class in its manifest; name one with --main-class",
             request_.jars.front().c_str());
      return false;
    }
    comment_ = "mainclass " + mainClass + "\n";
    if (!request_.configFile.empty()) {
      std::ifstream config(request_.configFile, std::ios::binary);
      std::ostringstream lines;
      if (config) lines << config.rdbuf();
      if (!config || config.bad()) {
        report("error: cannot read the configuration '%s'", request_.configFile.c_str());
        return false;
      }
      comment_ += lines.str();
      if (!comment_.ends_with("\n")) comment_ += "\n";
    }
    if (comment_.size() > kMaxCommentSize) {
      report("error: the configuration is %zu bytes; an archive comment holds at most %zu", comment_.size(),
             kMaxCommentSize);
      return false;
    }
    return true;
  }

  bool write(int fd, const std::string& temp) {
    OutputSink sink;
    zip_error_init(&sink.error);
    bool ok = copyLauncher(request_.launcher, fd, sink.start);
    sink.fd = fd;
    zip_source_t* source = ok ? zip_source_function_create(sinkCallback, &sink, &sink.error) : nullptr;
    zip_t* out = source ? zip_open_from_source(source, ZIP_CREATE | ZIP_TRUNCATE, &sink.error) : nullptr;
    if (ok && out == nullptr) {
      report("error: cannot write '%s': %s", temp.c_str(), zip_error_strerror(&sink.error));
      if (source) zip_source_free(source);
      ok = false;
    }
    ok = ok && merge(out) &&
         zip_set_archive_comment(out, comment_.data(), static_cast<zip_uint16_t>(comment_.size())) == 0;
    if (ok && zip_close(out) != 0) {
      report("error: cannot write '%s': %s", request_.output.c_str(), zip_strerror(out));
      ok = false;
    }
    if (!ok && out != nullptr) zip_discard(out);
    zip_error_fini(&sink.error);
    return ok;
  }

  // Every jar's entries in order, the first of each path kept; service files
  // joined; signatures and later manifests left out.
  bool merge(zip_t* out) {
    std::map<std::string, std::string> keptFrom;  // path -> the jar it came from
    std::vector<std::string> serviceOrder;
    for (std::size_t j = 0; j < jars_.size(); ++j) {
      zip_t* jar = jars_[j].get();
      const std::string& jarName = request_.jars[j];
      zip_int64_t count = zip_get_num_entries(jar, 0);
      for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        const char* raw = zip_get_name(jar, i, ZIP_FL_ENC_RAW);
        if (raw == nullptr) {
          report("error: cannot read entry %" PRIu64 " of '%s': %s", i, jarName.c_str(), zip_strerror(jar));
          return false;
        }
        std::string name = raw;
        if (isSignatureFile(name)) {
          report("warning: leaving out the signature file '%s' of '%s': a merged archive is not signed",
                 name.c_str(), jarName.c_str());
          continue;
        }
        if (upper(name) == kManifest && j > 0) continue;
        if (isServiceFile(name)) {
          if (!services_.contains(name)) serviceOrder.push_back(name);
          std::string& joined = services_[name];
          bool first = joined.empty();
          if (!first && !joined.ends_with("\n")) joined += "\n";
          EntryRead read = readEntry(jar, i, jarName, &joined);
          if (read == EntryRead::kTooLarge && first) reportTooLarge(name, jarName);
          if (read == EntryRead::kTooLarge && !first) {
            report("error: '%s' joined with that of '%s' is larger than %zu MiB", name.c_str(), jarName.c_str(),
                   kMaxHeldEntrySize >> 20);
          }
          if (read != EntryRead::kDone) return false;
          continue;
        }
        auto [kept, added] = keptFrom.emplace(name, jarName);
        if (!added) {
          if (!name.ends_with("/")) {
            report("warning: '%s' of '%s' is left out: the one of '%s' is kept", name.c_str(), jarName.c_str(),
                   kept->second.c_str());
          }
          continue;
        }
        // The compressed data is copied as it is, so it is read through
        // once first: a damaged entry fails here rather than in the JVM.
        if (readEntry(jar, i, jarName, nullptr) != EntryRead::kDone) return false;
        zip_source_t* entry = zip_source_zip(out, jar, i, 0, 0, -1);
        if (entry == nullptr || zip_file_add(out, name.c_str(), entry, ZIP_FL_ENC_RAW) < 0) {
          report("error: cannot copy '%s' of '%s': %s", name.c_str(), jarName.c_str(), zip_strerror(out));
          if (entry) zip_source_free(entry);
          return false;
        }
      }
    }
    // libzip reads the joined text when the archive is closed; services_
    // holds it until then, so it is not copied.
    for (const std::string& name : serviceOrder) {
      const std::string& data = services_[name];
      zip_source_t* entry = zip_source_buffer(out, data.data(), data.size(), 0);
      if (entry == nullptr || zip_file_add(out, name.c_str(), entry, ZIP_FL_ENC_RAW) < 0) {
        report("error: cannot add '%s': %s", name.c_str(), zip_strerror(out));
        if (entry) zip_source_free(entry);
        return false;
      }
    }
    return true;
  }

  const PackRequest& request_;
  std::vector<Archive> jars_;
  std::string comment_;
  std::map<std::string, std::string> services_;  ///< path -> its text joined across the jars
};

}  // namespace

std::string packManifestMainClass(const std::string& manifest) {
  // A manifest line is at most 72 bytes; a longer value continues on lines
  // that start with a space.
  std::istringstream lines(manifest);
  std::string line, value;
  bool inMain = false;
  while (std::getline(lines, line)) {
    if (line.ends_with("\r")) line.pop_back();
    if (inMain && line.starts_with(" ")) {
      value += line.substr(1);
      continue;
    }
    if (inMain || line.empty()) break;  // the main section ends at its first blank line
    if (upper(line).starts_with("MAIN-CLASS:")) {
      value = line.substr(std::strlen("Main-Class:"));
      inMain = true;
    }
  }
  std::size_t first = value.find_first_not_of(' ');
  return first == std::string::npos ? "" : value.substr(first, value.find_last_not_of(' ') - first + 1);
}

int packApplication(const PackRequest& request) { return Packer(request).run(); }
