// How jlauncher-pack reads and writes files: through descriptors it opened
// or made itself. libzip reads the jars and writes the archives through the
// sources here rather than by name, and a file from outside what the user
// named is opened only when every user could read it anyway.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/hmd.h"
#include "pack/pack.h"
#include "util/sha256.h"

namespace {

// Their files are the running system's (its processes' memory and
// environment, its devices), never an application's.
constexpr const char* kSystemDirs[] = {"/proc", "/sys", "/dev"};

constexpr const char* kUnresolvedWhy = "which cannot be resolved (%s)";
constexpr const char* kSystemWhy = "a file of the running system (under /proc, /sys or /dev), not of an application";
constexpr const char* kPrivateWhy = "which not every user can read";
constexpr const char* kChangedWhy = "which changed while it was checked";

bool under(const std::string& path, const std::string& directory) {
  return path == directory || path.starts_with(directory + "/");
}

// Others may pass through it.
bool searchable(int dir) {
  struct stat info;
  return fstat(dir, &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & S_IXOTH) != 0;
}


bool readable(const struct stat& info) { return S_ISREG(info.st_mode) && (info.st_mode & S_IROTH) != 0; }

// ---- libzip sources over descriptors ---------------------------------------

struct Source {
  PackZipFile file;
  int fd = -1;          ///< what is being read
  zip_uint64_t at = 0;  ///< the read position
  zip_error_t error{};
};

zip_int64_t sourceFail(Source& source, int zipError) {
  zip_error_set(&source.error, zipError, errno);
  return -1;
}

off_t readSize(const Source& source) {
  if (source.file.open) return source.file.size;
  struct stat info;
  return source.fd >= 0 && fstat(source.fd, &info) == 0 ? info.st_size : 0;
}

zip_int64_t statSource(Source& source, void* data, zip_uint64_t length) {
  auto* described = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source.error);
  if (described == nullptr) return -1;
  zip_stat_init(described);
  struct stat info;
  if (source.file.open) {
    described->size = static_cast<zip_uint64_t>(source.file.size);
    described->mtime = source.file.mtime;
  } else if (source.file.readFd >= 0 && fstat(source.file.readFd, &info) == 0) {
    described->size = static_cast<zip_uint64_t>(info.st_size);
    described->mtime = info.st_mtime;
  } else {
    // A new archive: there is nothing to read.
    return sizeof(zip_stat_t);
  }
  described->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
  return sizeof(zip_stat_t);
}

// Every position libzip asks for or is told while it writes is a position
// in the whole file, so the entry and central directory offsets it records
// count from the start of the executable, as unzip and zipinfo expect of an
// archive with data before it.
zip_int64_t sourceCallback(void* userdata, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  Source& source = *static_cast<Source*>(userdata);
  const PackZipFile& file = source.file;
  switch (command) {
    case ZIP_SOURCE_SUPPORTS:
      return file.writeFd >= 0 ? ZIP_SOURCE_SUPPORTS_WRITABLE : ZIP_SOURCE_SUPPORTS_SEEKABLE;
    case ZIP_SOURCE_STAT:
      return statSource(source, data, length);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&source.error, data, length);
    case ZIP_SOURCE_OPEN:
      source.fd = file.open ? file.open() : file.readFd;
      if (file.open && source.fd < 0) return sourceFail(source, ZIP_ER_OPEN);
      source.at = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      if (source.fd < 0) return 0;
      ssize_t n;
      while ((n = pread(source.fd, data, length, static_cast<off_t>(source.at))) < 0 && errno == EINTR) {
      }
      if (n < 0) return sourceFail(source, ZIP_ER_READ);
      source.at += static_cast<zip_uint64_t>(n);
      return n;
    }
    case ZIP_SOURCE_CLOSE:
      if (file.open && source.fd >= 0) close(source.fd);
      source.fd = -1;
      return 0;
    case ZIP_SOURCE_SEEK: {
      zip_int64_t to = zip_source_seek_compute_offset(source.at, static_cast<zip_uint64_t>(readSize(source)), data,
                                                      length, &source.error);
      if (to < 0) return -1;
      source.at = static_cast<zip_uint64_t>(to);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(source.at);
    case ZIP_SOURCE_BEGIN_WRITE:
      if (ftruncate(file.writeFd, file.start) != 0 || lseek(file.writeFd, file.start, SEEK_SET) < 0) {
        return sourceFail(source, ZIP_ER_WRITE);
      }
      return 0;
    case ZIP_SOURCE_WRITE: {
      const char* bytes = static_cast<const char*>(data);
      for (zip_uint64_t done = 0; done < length;) {
        ssize_t n = write(file.writeFd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return sourceFail(source, ZIP_ER_WRITE);
        done += static_cast<zip_uint64_t>(n);
      }
      return static_cast<zip_int64_t>(length);
    }
    case ZIP_SOURCE_SEEK_WRITE: {
      auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &source.error);
      if (args == nullptr) return -1;
      if (lseek(file.writeFd, args->offset, args->whence) < 0) return sourceFail(source, ZIP_ER_SEEK);
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE: {
      off_t position = lseek(file.writeFd, 0, SEEK_CUR);
      return position < 0 ? sourceFail(source, ZIP_ER_TELL) : position;
    }
    case ZIP_SOURCE_COMMIT_WRITE:
      return !file.sync || fsync(file.writeFd) == 0 ? 0 : sourceFail(source, ZIP_ER_WRITE);
    case ZIP_SOURCE_FREE:
      if (file.open && source.fd >= 0) close(source.fd);
      zip_error_fini(&source.error);
      delete &source;
      return 0;
    default:
      // Rolling back and removing need nothing: the caller owns the files
      // and removes what it made on a failure.
      return 0;
  }
}

Source* newSource(const PackZipFile& file) {
  auto* source = new Source{.file = file};
  zip_error_init(&source->error);
  return source;
}

}  // namespace

zip_source_t* packArchiveSource(const PackZipFile& file, zip_error_t* error) {
  Source* source = newSource(file);
  zip_source_t* made = zip_source_function_create(sourceCallback, source, error);
  if (made == nullptr) delete source;
  return made;
}

zip_source_t* packEntrySource(zip_t* archive, const PackZipFile& file) {
  Source* source = newSource(file);
  zip_source_t* made = zip_source_function(archive, sourceCallback, source);
  if (made == nullptr) delete source;
  return made;
}

bool packHashFile(int fd, Sha256& digest) {
  char block[65536];
  for (off_t at = 0;;) {
    ssize_t n = pread(fd, block, sizeof block, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    digest.update(block, static_cast<std::size_t>(n));
    at += n;
  }
}

int packOpenPublicFile(const std::string& path, std::string* resolved, std::string* why, int owner) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    *why = packFormat(kUnresolvedWhy, std::strerror(errno));
    return -1;
  }
  *resolved = real;
  std::free(real);
  for (const char* system : kSystemDirs) {
    if (under(*resolved, system)) {
      *why = kSystemWhy;
      return -1;
    }
  }
  // Walked a directory at a time, never through a link: what is opened is
  // what was checked, whoever renames what on the way.
  std::vector<std::string> parts = hmdPathComponents(*resolved);
  bool everyone = true;  // every directory on the way lets others pass
  int dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (std::size_t i = 0; dir >= 0 && i + 1 < parts.size(); ++i) {
    everyone = everyone && searchable(dir);
    int next = openat(dir, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    dir = next;
  }
  everyone = everyone && dir >= 0 && searchable(dir);
  auto allowed = [&](const struct stat& info) {
    return (everyone && readable(info)) || (S_ISREG(info.st_mode) && owner >= 0 && info.st_uid == static_cast<uid_t>(owner));
  };
  struct stat listed;
  struct stat opened;
  int fd = -1;
  if (dir >= 0 && !parts.empty() && fstatat(dir, parts.back().c_str(), &listed, AT_SYMLINK_NOFOLLOW) == 0 &&
      allowed(listed)) {
    fd = openat(dir, parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }
  if (dir >= 0) close(dir);
  if (fd < 0) {
    *why = kPrivateWhy;
    return -1;
  }
  if (fstat(fd, &opened) != 0 || !allowed(opened) || opened.st_dev != listed.st_dev || opened.st_ino != listed.st_ino) {
    close(fd);
    *why = kChangedWhy;
    return -1;
  }
  return fd;
}
