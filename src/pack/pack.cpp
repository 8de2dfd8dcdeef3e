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
#include <set>
#include <sstream>
#include <utility>

#include "host/hmd.h"
#include "util/sha256.h"

namespace {

constexpr const char* kManifest = "META-INF/MANIFEST.MF";

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
constexpr const char* kOutputReplacedMsg =
    "'%s' was replaced while it was written (someone else can change its directory); it does not hold the output";
constexpr const char* kCannotWriteMsg = "cannot write '%s': %s";
constexpr const char* kCannotOpenLauncherMsg = "cannot read the launcher '%s': %s";
constexpr const char* kCannotReadLauncherMsg = "cannot read the launcher '%s'";
constexpr const char* kCannotCopyLauncherMsg = "cannot write the output: %s";
constexpr const char* kCannotCopyEntryMsg = "cannot copy '%s' of '%s': %s";
constexpr const char* kCannotAddMsg = "cannot add '%s': %s";
constexpr const char* kSignatureLeftOutMsg =
    "leaving out the signature file '%s' of '%s': a merged archive is not signed";
constexpr const char* kDuplicateLeftOutMsg = "'%s' of '%s' is left out: the one of '%s' is kept";
constexpr const char* kClassPathMissingMsg =
    "'%s' named by the Class-Path of '%s' does not exist; the packed application will not have it";
constexpr const char* kClassPathNotJarMsg =
    "'%s' named by the Class-Path of '%s' is not a jar file; the packed application will not have it";
constexpr const char* kClassPathRefusedMsg =
    "'%s' named by the Class-Path of '%s' is '%s', %s, nor belongs to the jar's owner; give it as a jar of its own "
    "if it is meant to be packed";
constexpr const char* kOutsideNote = "packing '%s' from outside the jars' directories: the Class-Path of '%s' names it";

// Reasons to keep the jars whole.
constexpr const char* kSignedMsg = "'%s' is signed";
constexpr const char* kDiffersMsg = "'%s' differs between '%s' and '%s'";
constexpr const char* kCannotMergeMsg = "'%s' of '%s' and '%s' cannot be merged";
constexpr const char* kMultiReleaseMsg =
    "'%s' has versioned entries, and its Multi-Release differs from that of the first jar '%s'";
constexpr const char* kPackageAttributeMsg = "'%s' of '%s' cannot be given to its package '%s' in a merged manifest";
constexpr const char* kClassPathExternalMsg = "'%s' named by the Class-Path of '%s' stays outside the output";

constexpr const char* kKeptJarsDir = "jlauncher/jars/";
// The launcher extracts a kept jar through a temporary ".NAME.XXXXXX" beside
// it, in a directory named after its SHA-256: file systems take names of
// 255 bytes, some of far fewer (eCryptfs 143).
constexpr std::size_t kMaxKeptJarName = 128;
constexpr const char* kLog4j2Plugins = "META-INF/org/apache/logging/log4j/core/config/plugins/Log4j2Plugins.dat";

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
    *error = packFormat(kCannotReadEntryMsg, index, jar.c_str(), zip_strerror(archive));
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
    *error = packFormat(kDamagedEntryMsg, jar.c_str(), zip_get_name(archive, index, 0), zip_file_strerror(file));
    result = EntryRead::kFailed;
  }
  zip_fclose(file);
  return result;
}

std::string tooLarge(const std::string& name, const std::string& jar) {
  return packFormat(kEntryTooLargeMsg, name.c_str(), jar.c_str(), kMaxHeldEntrySize >> 20);
}

// A descriptor the packer opened, closed however the run ends.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Copies the launcher into the temporary file a block at a time: nothing
// needs it whole, and it is megabytes held for nothing while the jars are
// merged. False with *error set on a failure.
bool copyLauncher(const std::string& launcher, int fd, off_t& size, std::string* error) {
  // A fifo reads as empty rather than waiting for a writer.
  Descriptor in(open(launcher.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (in.get() < 0) {
    *error = packFormat(kCannotOpenLauncherMsg, launcher.c_str(), std::strerror(errno));
    return false;
  }
  char block[65536];
  size = 0;
  ssize_t n;
  while ((n = read(in.get(), block, sizeof block)) > 0 || (n < 0 && errno == EINTR)) {
    if (n < 0) continue;
    if (!hmdWriteAll(fd, block, static_cast<std::size_t>(n))) {
      *error = packFormat(kCannotCopyLauncherMsg, std::strerror(errno));
      return false;
    }
    size += n;
  }
  if (size == 0 || n < 0) {
    *error = packFormat(kCannotReadLauncherMsg, launcher.c_str());
    return false;
  }
  return true;
}

// The temporary output beside the output, made there so that renaming it
// replaces the output at once: closed, and removed unless it has become the
// output, however the run ends (a refusal, a failure, an exception on its
// way to main, a signal).
class TempOutput {
 public:
  explicit TempOutput(const std::string& output) : path_(output + ".XXXXXX"), fd_(packCreateFile(&path_)) {}
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;
  ~TempOutput() {
    closeFile();
    if (created_) packRemove(path_);
  }

  bool created() const { return created_; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  /// False when closing reported a write error.
  bool closeFile() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }
  /// Renames the file to output, after which nothing removes it.
  bool renameTo(const std::string& output) {
    if (!packRenameFile(path_, output)) return false;
    created_ = false;
    return true;
  }

 private:
  std::string path_;
  int fd_;
  bool created_ = fd_ >= 0;
};

// A path of the merged archive: every jar's copy of it, in jar order, and
// its merged bytes when they are held rather than copied.
struct Copy {
  std::size_t jar;
  zip_uint64_t index;
};
struct MergedPath {
  std::string name;
  std::vector<Copy> copies{};
  bool held = false;
  std::string data{};
};

// One jar of the application, in class path order, read through the
// descriptor opened once: what is merged, hashed and stored is one file.
struct Jar {
  std::string path;  ///< as given, or as a Class-Path reference resolves
  Descriptor fd;
  Archive archive;   ///< reads through fd, so it goes first
  PackManifest manifest{};
  std::vector<std::string> signatureFiles{};
  std::vector<std::string> packages{};  ///< directories holding classes, "a/b/"
  bool versioned = false;               ///< has entries under META-INF/versions/
};

// The attributes the JVM gives a package from the manifest of the jar it
// was loaded from: a per-entry section named after the package's directory
// first, then the main section. The names are the JVM's, letter for letter.
constexpr const char* kPackageAttributes[] = {
    "Specification-Title",  "Specification-Version",  "Specification-Vendor", "Implementation-Title",
    "Implementation-Version", "Implementation-Vendor", "Sealed"};

bool isTrue(const std::optional<std::string>& value) { return value && upper(*value) == "TRUE"; }

// A Class-Path entry is a URL: %-escapes decoded.
std::string urlDecode(const std::string& text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      decoded += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

// The file a Class-Path entry of the jar at jarPath names, resolved as the
// JVM resolves it: relative to the jar's directory, or an absolute file:
// URL. Empty when it names no file (another scheme).
std::string resolveReference(const std::string& jarPath, const std::string& reference) {
  std::size_t colon = reference.find(':');
  bool hasScheme = colon != std::string::npos && colon > 1 &&
                   reference.find_first_of("/?#") > colon && std::isalpha(static_cast<unsigned char>(reference[0]));
  if (hasScheme) {
    if (upper(reference.substr(0, colon)) != "FILE") return "";
    std::string path = reference.substr(colon + 1);
    if (path.starts_with("//")) path.erase(0, std::min(path.find('/', 2), path.size()));
    return urlDecode(path);
  }
  if (reference.starts_with("/")) return urlDecode(reference);
  return jarPath.substr(0, jarPath.rfind('/') + 1) + urlDecode(reference);
}

// The name a kept jar is extracted as: one safe path component, short
// enough for any cache, unique among the application's jars.
std::string keptJarName(const std::string& path, std::set<std::string>& used) {
  std::string base = path.substr(path.rfind('/') + 1);
  for (char& c : base) {
    bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr("._+-", c);
    if (!safe || c == '\0') c = '_';
  }
  if (base.empty() || base[0] == '.') base.insert(0, "_");
  std::string suffix = base.ends_with(".jar") ? ".jar" : "";
  std::string stem = base.substr(0, base.size() - suffix.size());
  std::string name = stem.substr(0, kMaxKeptJarName - suffix.size()) + suffix;
  for (int n = 2; used.contains(name); ++n) {
    std::string tag = "-" + std::to_string(n);
    name = stem.substr(0, kMaxKeptJarName - suffix.size() - tag.size()) + tag + suffix;
  }
  used.insert(name);
  return name;
}

bool hasSignature(zip_t* archive) {
  zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
    const char* name = zip_get_name(archive, i, ZIP_FL_ENC_RAW);
    if (name != nullptr && isSignatureFile(name)) return true;
  }
  return false;
}

std::string withoutSpaces(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

class Packer {
 public:
  Packer(const PackRequest& request, std::vector<std::string>* warnings, std::string* error,
         std::vector<std::string>* notes, PackSystemNeeds* needs)
      : request_(request), warnings_(*warnings), error_(*error), notes_(notes != nullptr ? *notes : ownNotes_),
        needs_(needs) {}

  bool run() {
    if (!openJars() || !findMainClass()) return false;
    std::vector<PackFinding> findings;
    if (!request_.keepJars && !scan(findings)) return false;
    findings.insert(findings.end(), external_.begin(), external_.end());
    PackChoice choice = packChooseLayout(findings, request_);
    layout_ = choice.layout;
    notes_.insert(notes_.end(), choice.notes.begin(), choice.notes.end());
    warnings_.insert(warnings_.end(), choice.warnings.begin(), choice.warnings.end());
    if (!makeConfiguration()) return false;
    struct stat existing;
    if (!request_.force && lstat(request_.output.c_str(), &existing) == 0) {
      return fail(packFormat(kOutputExistsMsg, request_.output.c_str()));
    }
    TempOutput temp(request_.output);
    if (!temp.created()) return fail(packFormat(kCannotCreateMsg, request_.output.c_str(), std::strerror(errno)));
    // mkstemp makes the file private; the output is an executable as the
    // user's umask would make one.
    mode_t mask = umask(0);
    umask(mask);
    if (!write(temp.fd(), temp.path())) return false;
    // A jlink image lives in the work directory only as long as the run.
    if (needs_ != nullptr) {
      packSystemNeeds(request_.launcher, runtime_, comment_, needs_);
      if (!needs_->runtime) needs_->javaRelease = std::max(needs_->javaRelease, classesRelease());
    }
    struct stat written;
    if (fchmod(temp.fd(), 0777 & ~mask) != 0 || fstat(temp.fd(), &written) != 0 || !temp.closeFile() ||
        !temp.renameTo(request_.output)) {
      return fail(packFormat(kCannotWriteMsg, request_.output.c_str(), std::strerror(errno)));
    }
    // In a directory others can change, they may have renamed something
    // else to the temporary name meanwhile, which the rename then put in
    // place.
    struct stat placed;
    if (lstat(request_.output.c_str(), &placed) != 0 || placed.st_dev != written.st_dev ||
        placed.st_ino != written.st_ino) {
      return fail(packFormat(kOutputReplacedMsg, request_.output.c_str()));
    }
    // Said of every file made: each carries the launcher, and runs only
    // where it does.
    if (std::optional<std::string> warning = packLauncherWarning(request_.launcher)) warnings_.push_back(*warning);
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
      char* real = realpath(jar.c_str(), nullptr);
      if (real != nullptr) jarDirs_.push_back(std::string(real).substr(0, std::string(real).rfind('/')));
      std::free(real);
    }
    for (const std::string& jar : request_.jars) {
      if (!addJar(jar)) return false;
    }
    return true;
  }

  // Adds a jar and then, depth first, the jars its Class-Path names, as the
  // JVM puts them on the class path: right after the jar, each jar once.
  // fd is the jar opened already, else -1.
  bool addJar(const std::string& path, int fd = -1) {
    Descriptor opened(fd);
    char* real = realpath(path.c_str(), nullptr);
    std::string key = real != nullptr ? real : path;
    std::free(real);
    if (!opened_.insert(key).second) return true;
    if (opened.get() < 0) opened = Descriptor(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int openError = errno;
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_t* archive = nullptr;
    if (opened.get() < 0) {
      zip_error_set(&zipError, openError == ENOENT ? ZIP_ER_NOENT : ZIP_ER_OPEN, openError);
    } else if (zip_source_t* source = packArchiveSource({.readFd = opened.get()}, &zipError)) {
      archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &zipError);
      if (archive == nullptr) zip_source_free(source);
    }
    if (archive == nullptr) {
      fail(packFormat(kCannotOpenJarMsg, path.c_str(), zip_error_strerror(&zipError)));
      zip_error_fini(&zipError);
      return false;
    }
    zip_error_fini(&zipError);
    struct stat info;
    const int owner = fstat(opened.get(), &info) == 0 ? static_cast<int>(info.st_uid) : -1;
    std::size_t at = jars_.size();
    jars_.push_back({.path = path, .fd = std::move(opened), .archive = Archive(archive)});
    zip_int64_t index = zip_name_locate(archive, kManifest, ZIP_FL_NOCASE);
    if (index < 0) return true;
    std::string text;
    EntryRead read = readEntry(archive, static_cast<zip_uint64_t>(index), path, &text, &error_);
    if (read == EntryRead::kTooLarge) return fail(tooLarge(kManifest, path));
    if (read != EntryRead::kDone) return false;
    jars_[at].manifest = packParseManifest(text);
    std::istringstream references(packAttribute(jars_[at].manifest.main, "Class-Path").value_or(""));
    for (std::string reference; references >> reference;) {
      std::string file = resolveReference(path, reference);
      struct stat info;
      bool exists = !file.empty() && stat(file.c_str(), &info) == 0;
      if (exists && S_ISREG(info.st_mode) && !reference.ends_with("/")) {
        if (!addReference(file, reference, path, owner)) return false;
        continue;
      }
      std::string shown = file.empty() ? reference : file;
      std::string dropped = packFormat(exists || file.empty() ? kClassPathNotJarMsg : kClassPathMissingMsg,
                                   shown.c_str(), path.c_str());
      if (!request_.allowExternal) {
        warnings_.push_back(dropped);
      } else {
        external_.push_back({packFormat(kClassPathExternalMsg, shown.c_str(), path.c_str()), {dropped}});
      }
    }
    return true;
  }

  // A file a Class-Path names is packed when every user could read it
  // anyway, or when it belongs to whoever owns the jar that names it, who
  // could read it anyway: run by root, the packer would otherwise copy a
  // file the jar's owner may not read (a jar in /tmp naming /root's) into an
  // output anyone can read. It is opened once, a directory at a time, never
  // through a link on the way; one from outside the given jars' directories
  // is listed.
  bool addReference(const std::string& file, const std::string& reference, const std::string& jar, int jarOwner) {
    char* real = realpath(file.c_str(), nullptr);
    std::string resolved = real != nullptr ? real : file;
    std::free(real);
    if (opened_.contains(resolved)) return true;
    std::string why;
    int fd = packOpenPublicFile(file, &resolved, &why, jarOwner);
    if (fd < 0) return fail(packFormat(kClassPathRefusedMsg, reference.c_str(), jar.c_str(), resolved.c_str(), why.c_str()));
    bool inside = std::any_of(jarDirs_.begin(), jarDirs_.end(),
                              [&resolved](const std::string& dir) { return resolved.starts_with(dir + "/"); });
    if (!inside) notes_.push_back(packFormat(kOutsideNote, resolved.c_str(), jar.c_str()));
    return addJar(file, fd);
  }

  bool findMainClass() {
    mainClass_ = request_.mainClass;
    mainClass_ = mainClass_.empty() ? packManifestMainClass(jars_.front().manifest) : withoutSpaces(mainClass_);
    if (mainClass_.empty()) return fail(packFormat(kNoMainClassMsg, request_.jars.front().c_str()));
    return true;
  }

  bool makeConfiguration() {
    comment_ = "mainclass " + mainClass_ + "\n";
    if (layout_ == PackLayout::kKeptJars) {
      std::set<std::string> used;
      for (const Jar& jar : jars_) {
        std::string hash;
        if (!storeAs(jar) || !hashFile(stored_.back(), jar.path, &hash)) return false;
        keptNames_.push_back(keptJarName(jar.path, used));
        comment_ += "packedjar " + hash + " " + keptNames_.back() + "\n";
      }
    }
    if (!request_.configFile.empty()) {
      std::ifstream config(request_.configFile, std::ios::binary);
      std::ostringstream lines;
      if (config) lines << config.rdbuf();
      if (!config || config.bad()) return fail(packFormat(kCannotReadConfigMsg, request_.configFile.c_str()));
      comment_ += lines.str();
      if (!comment_.ends_with("\n")) comment_ += "\n";
    }
    // The runtime is checked against the configuration's vmversion lines,
    // and its line goes after the packer's own.
    if (!packPrepareRuntime(request_, workDir_, &runtime_, &comment_, &error_)) return false;
    warnings_.insert(warnings_.end(), runtime_.warnings.begin(), runtime_.warnings.end());
    notes_.insert(notes_.end(), runtime_.notes.begin(), runtime_.notes.end());
    if (comment_.size() > kMaxCommentSize) {
      return fail(packFormat(kConfigTooLargeMsg, comment_.size(), kMaxCommentSize));
    }
    return true;
  }

  // A kept jar is stored as it is, but for its Class-Path: on the machine
  // that runs the application the JVM would follow it to files there,
  // ahead of the packed copies of the jars it names, which stand on the
  // class path right after it. A signed jar keeps its bytes, and so does
  // every jar with --allow-external.
  bool storeAs(const Jar& jar) {
    stored_.push_back(jar.fd.get());
    if (request_.allowExternal || !packAttribute(jar.manifest.main, "Class-Path") || hasSignature(jar.archive.get())) {
      return true;
    }
    int fd = workDir_.createFile("jar", &error_);
    if (fd < 0) return false;
    copies_.emplace_back(fd);
    // libzip reads the jar through its descriptor and writes the copy
    // through the new file's: the entries but the manifest are copied as
    // they are, compressed data and all.
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t* source = packArchiveSource({.readFd = jar.fd.get(), .writeFd = fd}, &zipError);
    zip_t* archive = source ? zip_open_from_source(source, 0, &zipError) : nullptr;
    if (archive == nullptr) {
      if (source) zip_source_free(source);
      fail(packFormat(kCannotWriteMsg, jar.path.c_str(), zip_error_strerror(&zipError)));
      zip_error_fini(&zipError);
      return false;
    }
    zip_error_fini(&zipError);
    PackManifest manifest = jar.manifest;
    std::erase_if(manifest.main, [](const auto& attribute) { return upper(attribute.first) == "CLASS-PATH"; });
    std::string text = packWriteManifest(manifest);
    zip_int64_t index = zip_name_locate(archive, kManifest, ZIP_FL_NOCASE);
    zip_source_t* manifestSource = index >= 0 ? zip_source_buffer(archive, text.data(), text.size(), 0) : nullptr;
    bool ok = manifestSource != nullptr &&
              zip_file_replace(archive, static_cast<zip_uint64_t>(index), manifestSource, 0) == 0;
    if (!ok && manifestSource != nullptr) zip_source_free(manifestSource);
    if (ok && zip_close(archive) == 0) {
      stored_.back() = fd;
      return true;
    }
    std::string why = zip_strerror(archive);
    zip_discard(archive);
    return fail(packFormat(kCannotWriteMsg, jar.path.c_str(), why.c_str()));
  }

  bool hashFile(int fd, const std::string& jar, std::string* hash) {
    Sha256 digest;
    if (!packHashFile(fd, digest)) return fail(packFormat(kCannotOpenJarMsg, jar.c_str(), std::strerror(errno)));
    *hash = digest.hex();
    return true;
  }

  // Lists every jar's entries under their paths and finds what keeps a
  // merge from being exact; the files whose format is known are read and
  // merged here, the manifest made.
  bool scan(std::vector<PackFinding>& findings) {
    std::map<std::string, std::size_t> byName;
    for (std::size_t j = 0; j < jars_.size(); ++j) {
      Jar& jar = jars_[j];
      zip_t* archive = jar.archive.get();
      std::set<std::string> packages;
      zip_int64_t count = zip_get_num_entries(archive, 0);
      for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        const char* raw = zip_get_name(archive, i, ZIP_FL_ENC_RAW);
        if (raw == nullptr) return fail(packFormat(kCannotReadEntryMsg, i, jar.path.c_str(), zip_strerror(archive)));
        std::string name = raw;
        if (isSignatureFile(name)) {
          jar.signatureFiles.push_back(name);
          continue;
        }
        if (upper(name) == kManifest) name = kManifest;
        if (name.starts_with("META-INF/versions/") && !name.ends_with("/")) jar.versioned = true;
        std::size_t slash = name.rfind('/');
        if (name.ends_with(".class") && !name.starts_with("META-INF/") && slash != std::string::npos &&
            packages.insert(name.substr(0, slash + 1)).second) {
          jar.packages.push_back(name.substr(0, slash + 1));
        }
        auto [at, added] = byName.emplace(name, paths_.size());
        if (added) paths_.push_back({.name = name});
        paths_[at->second].copies.push_back({j, i});
      }
      if (!jar.signatureFiles.empty()) {
        PackFinding signed_{packFormat(kSignedMsg, jar.path.c_str())};
        for (const std::string& file : jar.signatureFiles) {
          signed_.flatWarnings.push_back(packFormat(kSignatureLeftOutMsg, file.c_str(), jar.path.c_str()));
        }
        findings.push_back(signed_);
      }
    }
    for (MergedPath& path : paths_) {
      if (path.name == kManifest || path.name.ends_with("/")) continue;
      if (packIsMergedFile(path.name) ? !mergeKnown(path, findings) : !compareCopies(path, findings)) return false;
    }
    mergeManifests(findings);
    return true;
  }

  std::string jarOf(const Copy& copy) const { return jars_[copy.jar].path; }

  // The newest Java release whose class files the jars hold (a class file
  // of major version 52 is Java 8's); 0 when they hold none. Versioned
  // entries and module descriptors are read only by the releases they are
  // for, so they ask nothing of the oldest Java that runs the application.
  int classesRelease() {
    int newest = 0;
    for (Jar& jar : jars_) {
      zip_t* archive = jar.archive.get();
      zip_int64_t count = zip_get_num_entries(archive, 0);
      for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        const char* raw = zip_get_name(archive, i, ZIP_FL_ENC_RAW);
        std::string name = raw != nullptr ? raw : "";
        if (!name.ends_with(".class") || name.starts_with("META-INF/") || name.ends_with("module-info.class")) continue;
        unsigned char head[8];
        zip_file_t* file = zip_fopen_index(archive, i, 0);
        zip_int64_t read = file != nullptr ? zip_fread(file, head, sizeof head) : -1;
        if (file != nullptr) zip_fclose(file);
        if (read != static_cast<zip_int64_t>(sizeof head) || head[0] != 0xca || head[1] != 0xfe || head[2] != 0xba ||
            head[3] != 0xbe) {
          continue;
        }
        newest = std::max(newest, (head[6] << 8 | head[7]) - 44);
      }
    }
    return newest;
  }

  // Reads every copy of a file whose format is known and merges them.
  bool mergeKnown(MergedPath& path, std::vector<PackFinding>& findings) {
    std::string all;
    std::vector<std::size_t> ends;
    for (const Copy& copy : path.copies) {
      EntryRead read = readEntry(jars_[copy.jar].archive.get(), copy.index, jarOf(copy), &all, &error_);
      if (read == EntryRead::kTooLarge && ends.empty()) return fail(tooLarge(path.name, jarOf(copy)));
      if (read == EntryRead::kTooLarge) {
        return fail(packFormat(kJoinedTooLargeMsg, path.name.c_str(), jarOf(copy).c_str(), kMaxHeldEntrySize >> 20));
      }
      if (read != EntryRead::kDone) return false;
      ends.push_back(all.size());
    }
    path.held = true;
    if (ends.size() == 1) {
      path.data = std::move(all);
      return true;
    }
    std::vector<std::string> copies;
    for (std::size_t k = 0, start = 0; k < ends.size(); start = ends[k++]) {
      copies.push_back(all.substr(start, ends[k] - start));
    }
    if (packMergeFile(path.name, copies, &path.data) == PackMergeResult::kMerged) return true;
    // Merged anyway, the first jar's copy is kept.
    path.data = copies.front();
    std::size_t other = 1;
    while (copies[other] == copies.front()) ++other;
    PackFinding conflict{packFormat(kCannotMergeMsg, path.name.c_str(), jarOf(path.copies.front()).c_str(),
                                jarOf(path.copies[other]).c_str())};
    for (std::size_t k = 1; k < copies.size(); ++k) {
      if (copies[k] != copies.front()) conflict.flatWarnings.push_back(leftOut(path, k));
    }
    findings.push_back(conflict);
    return true;
  }

  std::string leftOut(const MergedPath& path, std::size_t copy) const {
    return packFormat(kDuplicateLeftOutMsg, path.name.c_str(), jarOf(path.copies[copy]).c_str(),
                  jarOf(path.copies.front()).c_str());
  }

  // Copies of any other file: the same bytes are one file; different ones
  // a conflict the first jar would win.
  bool compareCopies(const MergedPath& path, std::vector<PackFinding>& findings) {
    std::vector<std::size_t> differing;
    for (std::size_t k = 1; k < path.copies.size(); ++k) {
      bool same = false;
      if (!sameBytes(path.copies.front(), path.copies[k], &same)) return false;
      if (!same) differing.push_back(k);
    }
    if (differing.empty()) return true;
    const char* pattern = path.name == kLog4j2Plugins ? kCannotMergeMsg : kDiffersMsg;
    PackFinding conflict{packFormat(pattern, path.name.c_str(), jarOf(path.copies.front()).c_str(),
                                jarOf(path.copies[differing.front()]).c_str())};
    for (std::size_t k : differing) conflict.flatWarnings.push_back(leftOut(path, k));
    findings.push_back(conflict);
    return true;
  }

  // Whether two entries hold the same bytes, read side by side; false with
  // *error set when either cannot be read.
  bool sameBytes(const Copy& a, const Copy& b, bool* same) {
    zip_t* archives[] = {jars_[a.jar].archive.get(), jars_[b.jar].archive.get()};
    const Copy* copies[] = {&a, &b};
    zip_stat_t stats[2];
    for (int k = 0; k < 2; ++k) {
      if (zip_stat_index(archives[k], copies[k]->index, 0, &stats[k]) != 0) {
        return fail(packFormat(kCannotReadEntryMsg, copies[k]->index, jarOf(*copies[k]).c_str(), zip_strerror(archives[k])));
      }
    }
    *same = stats[0].size == stats[1].size && stats[0].crc == stats[1].crc;
    if (!*same) return true;
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> files[] = {
        {zip_fopen_index(archives[0], a.index, 0), zip_fclose}, {zip_fopen_index(archives[1], b.index, 0), zip_fclose}};
    char blocks[2][65536];
    for (;;) {
      zip_int64_t n[2];
      for (int k = 0; k < 2; ++k) {
        n[k] = files[k] ? zip_fread(files[k].get(), blocks[k], sizeof blocks[k]) : -1;
        if (n[k] < 0) {
          // readEntry says why, in the words a damaged jar gets elsewhere.
          return readEntry(archives[k], copies[k]->index, jarOf(*copies[k]), nullptr, &error_) == EntryRead::kDone &&
                 fail(packFormat(kCannotReadEntryMsg, copies[k]->index, jarOf(*copies[k]).c_str(), "read error"));
        }
      }
      if (n[0] != n[1] || std::memcmp(blocks[0], blocks[1], static_cast<std::size_t>(n[0])) != 0) {
        *same = false;
        return true;
      }
      if (n[0] == 0) return true;
    }
  }

  // The merged manifest: the first jar's main section without its
  // Class-Path (what it names is packed), the first jar's sections, and for
  // each later jar the package attributes its main section gives its
  // packages, as sections named after them; other sections first wins.
  void mergeManifests(std::vector<PackFinding>& findings) {
    const PackManifest& first = jars_.front().manifest;
    PackManifest merged;
    for (const auto& attribute : first.main) {
      if (upper(attribute.first) != "CLASS-PATH") merged.main.push_back(attribute);
    }
    merged.sections = first.sections;
    bool multiRelease = isTrue(packAttribute(first.main, "Multi-Release"));
    auto sectionOf = [](const PackManifest& manifest, const std::string& name) -> const PackManifest::Attributes* {
      for (const auto& [section, attributes] : manifest.sections) {
        if (section == name) return &attributes;
      }
      return nullptr;
    };
    for (std::size_t j = 1; j < jars_.size(); ++j) {
      const Jar& jar = jars_[j];
      if (jar.versioned && isTrue(packAttribute(jar.manifest.main, "Multi-Release")) != multiRelease) {
        findings.push_back({packFormat(kMultiReleaseMsg, jar.path.c_str(), jars_.front().path.c_str())});
      }
      bool reported = false;
      for (const std::string& package : jar.packages) {
        const PackManifest::Attributes* own = sectionOf(jar.manifest, package);
        const PackManifest::Attributes* kept = sectionOf(merged, package);
        PackManifest::Attributes added = own != nullptr ? *own : PackManifest::Attributes{};
        for (const char* name : kPackageAttributes) {
          std::optional<std::string> wanted = own ? packAttribute(*own, name) : std::nullopt;
          if (!wanted) wanted = packAttribute(jar.manifest.main, name);
          std::optional<std::string> given = kept ? packAttribute(*kept, name) : std::nullopt;
          if (!given) given = packAttribute(first.main, name);
          if (wanted == given) continue;
          if (wanted && kept == nullptr) {
            if (!packAttribute(added, name)) added.emplace_back(name, *wanted);
          } else if (!reported) {
            // A package of two jars, or an attribute the first jar gives
            // every package and this jar does not: no section says "none".
            findings.push_back({packFormat(kPackageAttributeMsg, name, jar.path.c_str(), package.c_str())});
            reported = true;
          }
        }
        if (kept == nullptr && !added.empty()) merged.sections.emplace_back(package, added);
      }
      for (const auto& section : jar.manifest.sections) {
        if (sectionOf(merged, section.first) == nullptr) merged.sections.push_back(section);
      }
    }
    for (MergedPath& path : paths_) {
      if (path.name != kManifest) continue;
      if (merged.main.empty() && merged.sections.empty()) {
        path.copies.clear();
        break;
      }
      if (merged.main.empty()) merged.main.emplace_back("Manifest-Version", "1.0");
      path.held = true;
      path.data = packWriteManifest(merged);
    }
  }

  bool write(int fd, const std::string& temp) {
    PackZipFile file{.writeFd = fd, .sync = true};
    if (!copyLauncher(request_.launcher, fd, file.start, &error_)) return false;
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t* source = packArchiveSource(file, &zipError);
    zip_t* out = source ? zip_open_from_source(source, ZIP_CREATE | ZIP_TRUNCATE, &zipError) : nullptr;
    bool ok = out != nullptr || fail(packFormat(kCannotWriteMsg, temp.c_str(), zip_error_strerror(&zipError)));
    if (out == nullptr && source != nullptr) zip_source_free(source);
    zip_error_fini(&zipError);
    ok = ok && (layout_ == PackLayout::kKeptJars ? storeJars(out) : merge(out)) &&
         packAddRuntime(out, runtime_, &error_) && setComment(out);
    if (ok && zip_close(out) != 0) ok = fail(packFormat(kCannotWriteMsg, request_.output.c_str(), zip_strerror(out)));
    if (!ok && out != nullptr) zip_discard(out);
    return ok;
  }

  bool setComment(zip_t* out) {
    if (zip_set_archive_comment(out, comment_.data(), static_cast<zip_uint16_t>(comment_.size())) == 0) return true;
    // libzip keeps only comments it can tell are UTF-8 (ASCII is); it would
    // take any other as CP437.
    if (zip_error_code_zip(zip_get_error(out)) == ZIP_ER_INVAL) {
      return fail(kConfigNotUtf8Msg);
    }
    return fail(packFormat(kCannotWriteMsg, request_.output.c_str(), zip_strerror(out)));
  }

  bool addEntry(zip_t* out, const std::string& name, zip_source_t* entry, const std::string& jar) {
    zip_int64_t index = entry != nullptr ? zip_file_add(out, name.c_str(), entry, ZIP_FL_ENC_RAW) : -1;
    if (index < 0) {
      fail(jar.empty() ? packFormat(kCannotAddMsg, name.c_str(), zip_strerror(out))
                       : packFormat(kCannotCopyEntryMsg, name.c_str(), jar.c_str(), zip_strerror(out)));
      if (entry) zip_source_free(entry);
      return false;
    }
    // The launcher extracts a kept jar as the bytes it holds, uncompressed.
    if (jar.empty() && layout_ == PackLayout::kKeptJars) {
      return zip_set_file_compression(out, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) == 0 ||
             fail(packFormat(kCannotAddMsg, name.c_str(), zip_strerror(out)));
    }
    return true;
  }

  // The kept-jars layout: each jar whole, as the launcher extracts it.
  bool storeJars(zip_t* out) {
    for (std::size_t j = 0; j < jars_.size(); ++j) {
      std::string name = kKeptJarsDir + keptNames_[j];
      if (!addEntry(out, name, packEntrySource(out, {.readFd = stored_[j]}), "")) return false;
    }
    return true;
  }

  // The flat layout: each path once, in the order the jars first hold it:
  // merged text where one was made, else the first jar's entry.
  bool merge(zip_t* out) {
    for (const MergedPath& path : paths_) {
      if (path.copies.empty()) continue;
      // libzip reads held text when the archive is closed; paths_ keeps it
      // until then, so it is not copied.
      if (path.held) {
        if (!addEntry(out, path.name, zip_source_buffer(out, path.data.data(), path.data.size(), 0), "")) return false;
        continue;
      }
      const Copy& copy = path.copies.front();
      zip_t* jar = jars_[copy.jar].archive.get();
      // The compressed data is copied as it is, so it is read through once
      // first: a damaged entry fails here rather than in the JVM.
      if (readEntry(jar, copy.index, jarOf(copy), nullptr, &error_) != EntryRead::kDone) return false;
      if (!addEntry(out, path.name, zip_source_zip(out, jar, copy.index, 0, 0, -1), jarOf(copy))) return false;
    }
    return true;
  }

  const PackRequest& request_;
  std::vector<std::string>& warnings_;
  std::string& error_;
  std::vector<std::string> ownNotes_;   ///< the notes when the caller takes none
  std::vector<std::string>& notes_;
  std::set<std::string> opened_;        ///< the real paths of the jars, each opened once
  std::vector<Jar> jars_;               ///< in class path order
  std::vector<PackFinding> external_;   ///< Class-Path references left outside (--allow-external)
  std::vector<MergedPath> paths_;       ///< in the order the jars first hold them
  std::string mainClass_;
  PackLayout layout_ = PackLayout::kFlat;
  std::vector<std::string> keptNames_;  ///< the kept jars' names, in jars_ order
  std::vector<std::string> jarDirs_;    ///< the directories of the jars given, links resolved
  PackWorkDir workDir_;                 ///< made when first needed
  std::vector<Descriptor> copies_;      ///< the kept jars rewritten without their Class-Path
  std::vector<int> stored_;             ///< what the kept jars are stored from, in jars_ order
  std::string comment_;
  PackRuntime runtime_;  ///< its files are read when the archive is written
  PackSystemNeeds* needs_;  ///< where what the output needs of a system goes; null: nowhere
};

}  // namespace

std::string packFormat(const char* pattern, ...) {
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

std::string packManifestMainClass(const PackManifest& manifest) {
  return withoutSpaces(packAttribute(manifest.main, "Main-Class").value_or(""));
}

bool packApplication(const PackRequest& request, std::vector<std::string>* warnings, std::string* error,
                     std::vector<std::string>* notes, PackSystemNeeds* needs) {
  return Packer(request, warnings, error, notes, needs).run();
}
