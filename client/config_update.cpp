#include "client/config_update.h"

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "common/protocol.h"

namespace kelv {
namespace {

// A rewriter renames a new file over the path while others wait for the lock
// on the old one; each such rename costs a waiter one more attempt. Only an
// endless stream of rewriters could use these up.
constexpr int max_lock_attempts = 100;

bool write_all(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t written = write(fd, data, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    n -= static_cast<size_t>(written);
  }
  return true;
}

bool read_all(int fd, std::string* content) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    content->append(buffer, static_cast<size_t>(n));
  }
}

// Opens path and takes an exclusive lock on it. After the lock is held the
// path must still name the locked file: a rewriter may have renamed a new
// file over it while we waited, and a lock on the old one guards nothing.
// Returns the locked descriptor and its stat in *st, or an invalid one after
// a warning.
unique_fd open_locked(const std::string& path, int flags, struct stat* st) {
  for (int attempt = 0; attempt < max_lock_attempts; ++attempt) {
    unique_fd fd(open(path.c_str(), flags | O_CLOEXEC, 0666));
    if (!fd.valid()) {
      warnx("Unable to open configuration file");
      return {};
    }
    int locked;
    while ((locked = flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0 || fstat(fd.get(), st) != 0) {
      warn("Unable to lock configuration file");
      return {};
    }
    struct stat named;
    if (stat(path.c_str(), &named) == 0 && named.st_dev == st->st_dev &&
        named.st_ino == st->st_ino)
      return fd;
  }
  warnx("Unable to lock configuration file");
  return {};
}

// An empty name would stand for an empty line, and a name with a newline for
// several lines: neither can be recorded as the name it is.
std::vector<std::string_view> usable_names(
    const std::vector<std::string>& names) {
  std::vector<std::string_view> usable;
  for (const std::string& name : names) {
    if (name.empty()) {
      warnx("Ignoring empty service name");
    } else if (name.find('\n') != std::string::npos) {
      warnx("Ignoring service name with a newline");
    } else {
      usable.push_back(name);
    }
  }
  return usable;
}

void append_names(const std::string& path,
                  const std::vector<std::string_view>& names) {
  struct stat st;
  unique_fd fd = open_locked(path, O_RDWR | O_APPEND | O_CREAT, &st);
  if (!fd.valid()) return;
  off_t size = st.st_size;
  bool needs_newline = false;
  char last;
  if (size > 0 && pread(fd.get(), &last, 1, size - 1) == 1 && last != '\n')
    needs_newline = true;
  for (std::string_view name : names) {
    std::string line = needs_newline ? "\n" : "";
    line.append(name);
    line += '\n';
    if (!write_all(fd.get(), line.data(), line.size())) {
      warnx("Unable to write to configuration");
      // Take a partial line out again, or the next name would be glued to it.
      if (ftruncate(fd.get(), size) != 0) {
        struct stat now;
        needs_newline = fstat(fd.get(), &now) != 0 || now.st_size != size;
      }
      continue;
    }
    // Appends land at the true end, which a failed truncation may have moved.
    struct stat now;
    size = fstat(fd.get(), &now) == 0 ? now.st_size
                                      : size + static_cast<off_t>(line.size());
    needs_newline = false;
  }
  if (fsync(fd.get()) != 0) warnx("Unable to write to configuration");
  if (!fd.close_checked()) warnx("Unable to close configuration file");
}

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A temporary file beside the configuration file, so that the final rename
// stays within one file system and is one atomic step. Removed when the
// owner goes unless kept.
class temp_file {
 public:
  explicit temp_file(const std::string& config_path) {
    size_t slash = config_path.rfind('/');
    std::string base =
        config_path.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string name = directory_of(config_path) + "/." + base + ".XXXXXX";
    fd_.reset(mkostemp(name.data(), O_CLOEXEC));
    if (fd_.valid()) path_ = name;
  }
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;
  ~temp_file() {
    fd_.reset();
    if (!path_.empty()) unlink(path_.c_str());
  }

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  bool close() { return fd_.close_checked(); }
  // The file has taken the configuration file's place: leave it.
  void keep() { path_.clear(); }

 private:
  unique_fd fd_;
  std::string path_;
};

void sync_directory_of(const std::string& path) {
  unique_fd fd(
      open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Best effort: the rename has happened; this only hastens its durability.
  if (fd.valid()) (void)fsync(fd.get());
}

void remove_names(const std::string& path,
                  const std::vector<std::string_view>& names) {
  struct stat st;
  // The lock is held until the new file has taken the path, so that no other
  // update can slip in between our read and our rename.
  unique_fd config = open_locked(path, O_RDONLY, &st);
  if (!config.valid()) return;
  std::string content;
  if (!read_all(config.get(), &content)) {
    warn("Unable to read configuration file");
    return;
  }
  std::string kept;
  kept.reserve(content.size());
  bool dropped = false;
  for (size_t pos = 0; pos < content.size();) {
    size_t newline = content.find('\n', pos);
    size_t line_end = newline == std::string::npos ? content.size() : newline;
    size_t next = newline == std::string::npos ? content.size() : newline + 1;
    std::string_view line(content.data() + pos, line_end - pos);
    bool named = false;
    for (std::string_view name : names) named = named || line == name;
    if (named) {
      dropped = true;
    } else {
      kept.append(content, pos, next - pos);
    }
    pos = next;
  }
  // Nothing to drop: leave the file, its owner and its times alone.
  if (!dropped) return;

  temp_file temp(path);
  if (!temp.valid()) {
    warnx("Unable to create temporary file");
    return;
  }
  // Owner first: changing it may clear the set-ID bits that fchmod then sets.
  // Only the superuser may give a file away; anyone else keeps it.
  (void)fchown(temp.fd(), st.st_uid, st.st_gid);
  (void)fchmod(temp.fd(), st.st_mode & 07777);
  if (!write_all(temp.fd(), kept.data(), kept.size()) ||
      fsync(temp.fd()) != 0) {
    warnx("Unable to write configuration");
    return;
  }
  if (!temp.close()) {
    warnx("Unable to close temporary configuration file");
    return;
  }
  if (rename(temp.path().c_str(), path.c_str()) != 0) {
    warn("Unable to rename configuration file");
    return;
  }
  temp.keep();
  sync_directory_of(path);
  if (!config.close_checked()) warnx("Unable to close configuration file");
}

}  // namespace

void update_config_at(const std::string& path, std::string_view command,
                      const std::vector<std::string>& names) {
  bool enable = command == command_enable;
  if (!enable && command != command_disable) return;
  std::vector<std::string_view> usable = usable_names(names);
  if (usable.empty()) return;
  if (enable) {
    append_names(path, usable);
  } else {
    remove_names(path, usable);
  }
}

void update_config(std::string_view command,
                   const std::vector<std::string>& names) {
  update_config_at(config_file_path, command, names);
}

}  // namespace kelv
