#include "pack/pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
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
#include <utility>

namespace {

constexpr const char* kManifest = "META-INF/MANIFEST.MF";
constexpr const char* kServicesDir = "META-INF/services/";

constexpr const char* kNoJarMsg = "no jar given (see jlauncher-pack --help)";
constexpr const char* kCannotOpenJarMsg = "cannot read the jar '%s': %s";
constexpr const char* kCannotReadEntryMsg = "cannot read entry %" PRIu64 " of '%s': %s";
constexpr const char* kDamagedEntryMsg = "cannot read the jar '%s': its entry '%s': %s";
constexpr const char* kEntryTooLargeMsg = "'%s' of '%s' is larger than %zu MiB";
constexpr const char* kJoinedTooLargeMsg = "'%s' joined with that of '%s' is larger than %zu MiB";
constexpr const char* kNoMainClassMsg =
    "no main class: '%s' has no Main-Class in its manifest; name one with --main-class";
constexpr const char* kCannotReadConfigMsg = "cannot read the configuration '%s'";
constexpr const char* kConfigTooLargeMsg = "the configuration is %zu bytes; an archive comment holds at most %zu";
constexpr const char* kConfigNotUtf8Msg = "the configuration is not UTF-8 text, which an archive comment must be";
constexpr const char* kOutputExistsMsg = "'%s' exists; use --force to replace it";
constexpr const char* kCannotCreateMsg = "cannot create a file beside '%s': %s";
constexpr const char* kCannotWriteMsg = "cannot write '%s': %s";
constexpr const char* kCannotOpenLauncherMsg = "cannot read the launcher '%s': %s";
constexpr const char* kCannotReadLauncherMsg = "cannot read the launcher '%s'";
constexpr const char* kCannotCopyLauncherMsg = "cannot write the output: %s";
constexpr const char* kCannotCopyEntryMsg = "cannot copy '%s' of '%s': %s";
constexpr const char* kCannotAddMsg = "cannot add '%s': %s";
constexpr const char* kSignatureLeftOutMsg =
    "leaving out the signature file '%s' of '%s': a merged archive is not signed";
constexpr const char* kDuplicateLeftOutMsg = "'%s' of '%s' is left out: the one of '%s' is kept";

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  std::vsnprintf(text.data(), text.size() + 1, pattern, again);
  va_end(again);
  return text;
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
// archive declares may be a lie. A failure is described in *error here; a
// size is the caller's to describe, as only it knows what it was gathering.
EntryRead readEntry(zip_t* archive, zip_uint64_t index, const std::string& jar, std::string* data,
                    std::string* error) {
  zip_stat_t stat;
  zip_file_t* file = zip_stat_index(archive, index, 0, &stat) == 0 ? zip_fopen_index(archive, index, 0) : nullptr;
  if (file == nullptr) {
    *error = format(kCannotReadEntryMsg, index, jar.c_str(), zip_strerror(archive));
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
    *error = format(kDamagedEntryMsg, jar.c_str(), zip_get_name(archive, index, 0), zip_file_strerror(file));
    result = EntryRead::kFailed;
  }
  zip_fclose(file);
  return result;
}

std::string tooLarge(const std::string& name, const std::string& jar) {
  return format(kEntryTooLargeMsg, name.c_str(), jar.c_str(), kMaxHeldEntrySize >> 20);
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
// merged. False with *error set on a failure.
bool copyLauncher(const std::string& launcher, int fd, off_t& size, std::string* error) {
  std::ifstream in(launcher, std::ios::binary);
  if (!in) {
    *error = format(kCannotOpenLauncherMsg, launcher.c_str(), std::strerror(errno));
    return false;
  }
  char block[65536];
  size = 0;
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    for (std::streamsize done = 0; done < in.gcount();) {
      ssize_t n = write(fd, block + done, static_cast<std::size_t>(in.gcount() - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = format(kCannotCopyLauncherMsg, std::strerror(errno));
        return false;
      }
      done += n;
    }
    size += static_cast<off_t>(in.gcount());
  }
  if (size == 0 || in.bad()) {
    *error = format(kCannotReadLauncherMsg, launcher.c_str());
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
  Packer(const PackRequest& request, std::vector<std::string>* warnings, std::string* error)
      : request_(request), warnings_(*warnings), error_(*error) {}

  bool run() {
    if (!openJars() || !makeConfiguration()) return false;
    struct stat existing;
    if (!request_.force && lstat(request_.output.c_str(), &existing) == 0) {
      return fail(format(kOutputExistsMsg, request_.output.c_str()));
    }
    TempOutput temp(request_.output);
    if (!temp.created()) return fail(format(kCannotCreateMsg, request_.output.c_str(), std::strerror(errno)));
    // mkstemp makes the file private; the output is an executable as the
    // user's umask would make one.
    mode_t mask = umask(0);
    umask(mask);
    if (!write(temp.fd(), temp.path())) return false;
    if (fchmod(temp.fd(), 0777 & ~mask) != 0 || !temp.close() || !temp.renameTo(request_.output)) {
      return fail(format(kCannotWriteMsg, request_.output.c_str(), std::strerror(errno)));
    }
    return true;
  }

 private:
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  bool openJars() {
    if (request_.jars.empty()) return fail(kNoJarMsg);
    for (const std::string& jar : request_.jars) {
      int error = 0;
      zip_t* archive = zip_open(jar.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
      if (archive == nullptr) {
        zip_error_t zipError;
        zip_error_init_with_code(&zipError, error);
        fail(format(kCannotOpenJarMsg, jar.c_str(), zip_error_strerror(&zipError)));
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
        EntryRead read = readEntry(jars_.front().get(), static_cast<zip_uint64_t>(index), request_.jars.front(),
                                   &manifest, &error_);
        if (read == EntryRead::kTooLarge) return fail(tooLarge(kManifest, request_.jars.front()));
        if (read != EntryRead::kDone) return false;
        mainClass = packManifestMainClass(manifest);
      }
    }
    if (mainClass.empty()) return fail(format(kNoMainClassMsg, request_.jars.front().c_str()));
    comment_ = "mainclass " + mainClass + "\n";
    if (!request_.configFile.empty()) {
      std::ifstream config(request_.configFile, std::ios::binary);
      std::ostringstream lines;
      if (config) lines << config.rdbuf();
      if (!config || config.bad()) return fail(format(kCannotReadConfigMsg, request_.configFile.c_str()));
      comment_ += lines.str();
      if (!comment_.ends_with("\n")) comment_ += "\n";
    }
    if (!packPrepareRuntime(request_, &runtime_, &comment_, &error_)) return false;
    if (comment_.size() > kMaxCommentSize) {
      return fail(format(kConfigTooLargeMsg, comment_.size(), kMaxCommentSize));
    }
    return true;
  }

  bool write(int fd, const std::string& temp) {
    OutputSink sink;
    zip_error_init(&sink.error);
    bool ok = copyLauncher(request_.launcher, fd, sink.start, &error_);
    sink.fd = fd;
    zip_source_t* source = ok ? zip_source_function_create(sinkCallback, &sink, &sink.error) : nullptr;
    zip_t* out = source ? zip_open_from_source(source, ZIP_CREATE | ZIP_TRUNCATE, &sink.error) : nullptr;
    if (ok && out == nullptr) {
      ok = fail(format(kCannotWriteMsg, temp.c_str(), zip_error_strerror(&sink.error)));
      if (source) zip_source_free(source);
    }
    ok = ok && merge(out) && packAddRuntime(out, runtime_, &error_) && setComment(out);
    if (ok && zip_close(out) != 0) ok = fail(format(kCannotWriteMsg, request_.output.c_str(), zip_strerror(out)));
    if (!ok && out != nullptr) zip_discard(out);
    zip_error_fini(&sink.error);
    return ok;
  }

  bool setComment(zip_t* out) {
    if (zip_set_archive_comment(out, comment_.data(), static_cast<zip_uint16_t>(comment_.size())) == 0) return true;
    // libzip keeps only comments it can tell are UTF-8 (ASCII is); it would
    // take any other as CP437.
    if (zip_error_code_zip(zip_get_error(out)) == ZIP_ER_INVAL) {
      return fail(kConfigNotUtf8Msg);
    }
    return fail(format(kCannotWriteMsg, request_.output.c_str(), zip_strerror(out)));
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
          return fail(format(kCannotReadEntryMsg, i, jarName.c_str(), zip_strerror(jar)));
        }
        std::string name = raw;
        if (isSignatureFile(name)) {
          warnings_.push_back(format(kSignatureLeftOutMsg, name.c_str(), jarName.c_str()));
          continue;
        }
        if (upper(name) == kManifest && j > 0) continue;
        if (isServiceFile(name)) {
          if (!services_.contains(name)) serviceOrder.push_back(name);
          std::string& joined = services_[name];
          bool first = joined.empty();
          if (!first && !joined.ends_with("\n")) joined += "\n";
          EntryRead read = readEntry(jar, i, jarName, &joined, &error_);
          if (read == EntryRead::kTooLarge && first) return fail(tooLarge(name, jarName));
          if (read == EntryRead::kTooLarge) {
            return fail(format(kJoinedTooLargeMsg, name.c_str(), jarName.c_str(), kMaxHeldEntrySize >> 20));
          }
          if (read != EntryRead::kDone) return false;
          continue;
        }
        auto [kept, added] = keptFrom.emplace(name, jarName);
        if (!added) {
          if (!name.ends_with("/")) {
            warnings_.push_back(format(kDuplicateLeftOutMsg, name.c_str(), jarName.c_str(), kept->second.c_str()));
          }
          continue;
        }
        // The compressed data is copied as it is, so it is read through
        // once first: a damaged entry fails here rather than in the JVM.
        if (readEntry(jar, i, jarName, nullptr, &error_) != EntryRead::kDone) return false;
        zip_source_t* entry = zip_source_zip(out, jar, i, 0, 0, -1);
        if (entry == nullptr || zip_file_add(out, name.c_str(), entry, ZIP_FL_ENC_RAW) < 0) {
          fail(format(kCannotCopyEntryMsg, name.c_str(), jarName.c_str(), zip_strerror(out)));
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
        fail(format(kCannotAddMsg, name.c_str(), zip_strerror(out)));
        if (entry) zip_source_free(entry);
        return false;
      }
    }
    return true;
  }

  const PackRequest& request_;
  std::vector<std::string>& warnings_;
  std::string& error_;
  std::vector<Archive> jars_;
  std::string comment_;
  PackRuntime runtime_;  ///< its files are read when the archive is written
  std::map<std::string, std::string> services_;  ///< path -> its text joined across the jars
};

}  // namespace

std::string packManifestMainClass(const std::string& manifest) {
  // A manifest line is at most 72 bytes; a longer value continues on lines
  // that start with a space. Lines end as the JVM's manifest reader ends
  // them: at CR LF, LF or a lone CR.
  std::string value;
  bool inMainClass = false;
  for (std::size_t at = 0; at < manifest.size();) {
    std::size_t end = std::min(manifest.find_first_of("\r\n", at), manifest.size());
    std::string line = manifest.substr(at, end - at);
    at = end + (manifest.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    if (inMainClass && line.starts_with(" ")) {
      value += line.substr(1);
      continue;
    }
    if (inMainClass || line.empty()) break;  // the main section ends at its first blank line
    if (upper(line).starts_with("MAIN-CLASS:")) {
      value = line.substr(std::strlen("Main-Class:"));
      inMainClass = true;
    }
  }
  std::size_t first = value.find_first_not_of(' ');
  return first == std::string::npos ? "" : value.substr(first, value.find_last_not_of(' ') - first + 1);
}

bool packApplication(const PackRequest& request, std::vector<std::string>* warnings, std::string* error) {
  return Packer(request, warnings, error).run();
}
