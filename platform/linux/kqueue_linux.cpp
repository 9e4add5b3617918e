// kqueue process-exit watches on Linux. Each watch is a pidfd in the queue's
// epoll set, so it names the exact process; exit statuses of processes that
// are not our children come from the kernel's process-events connector.
//
// The connector socket is never in an epoll set: a queue wakes up only when a
// watched process ends. The kernel sends the exit message before the pidfd
// turns readable, so the socket is drained whenever a pidfd fires. A socket
// filter lets through only the exits of watched PIDs, so messages cannot pile
// up between two watched exits however busy the machine is.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/bpf.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/event.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "kqueue_testing.h"

namespace kelv {
namespace {

constexpr int pidfd_kind = 3;  // P_PIDFD for waitid, absent from glibc here
constexpr int connector_buffer_bytes = 8 << 20;
constexpr size_t max_ready = 16;

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Where the fields read from a connector message lie: the netlink header,
// the connector header, then the process event.
constexpr size_t event_at = NLMSG_HDRLEN + sizeof(cn_msg);
constexpr size_t what_at = event_at + offsetof(proc_event, what);
constexpr size_t exit_pid_at =
    event_at + offsetof(proc_event, event_data.exit.process_pid);
constexpr size_t exit_tgid_at =
    event_at + offsetof(proc_event, event_data.exit.process_tgid);
constexpr size_t exit_code_at =
    event_at + offsetof(proc_event, event_data.exit.exit_code);
constexpr uint32_t exit_event = proc_event::PROC_EVENT_EXIT;

// A classic BPF program passing the exits of thread-group leaders among pids
// and dropping everything else. Loads are big-endian, the message is in host
// order: hence htonl on every constant.
std::vector<sock_filter> make_exit_filter(const std::vector<pid_t>& pids) {
  std::vector<sock_filter> prog = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, what_at),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(exit_event), 1, 0),
      BPF_STMT(BPF_RET | BPF_K, 0),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, exit_tgid_at),
      BPF_STMT(BPF_MISC | BPF_TAX, 0),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, exit_pid_at),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  // Two instructions a PID keeps every jump short; past the size limit let
  // every leader's exit through instead.
  if (prog.size() + 2 * pids.size() + 1 > BPF_MAXINSNS) {
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, 0xffffffffU));
    return prog;
  }
  for (pid_t pid : pids) {
    prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K,
                            htonl(static_cast<uint32_t>(pid)), 0, 1));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, 0xffffffffU));
  }
  prog.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
  return prog;
}

bpf_insn make_insn(uint8_t code, uint8_t dst, uint8_t src, int16_t off,
                   int32_t imm) {
  bpf_insn insn{};
  insn.code = code;
  insn.dst_reg = dst & 0xf;
  insn.src_reg = src & 0xf;
  insn.off = off;
  insn.imm = imm;
  return insn;
}

// The eBPF form of the exit filter: the same tests, with the PID looked up
// in a hash map (keys in the byte order the loads produce, htonl(pid)), so
// a watch costs one map update instead of a whole new program.
std::vector<bpf_insn> make_keyed_exit_filter(int map_fd) {
  constexpr uint8_t ld_abs_w = BPF_LD | BPF_ABS | BPF_W;
  constexpr int16_t to_drop_from_2 = 13, to_drop_from_6 = 9,
                    to_drop_from_13 = 2;
  return {
      // LD_ABS reads the message through the context in r6.
      make_insn(BPF_ALU64 | BPF_MOV | BPF_X, 6, 1, 0, 0),
      make_insn(ld_abs_w, 0, 0, 0, what_at),
      make_insn(BPF_JMP32 | BPF_JNE | BPF_K, 0, 0, to_drop_from_2,
                static_cast<int32_t>(htonl(exit_event))),
      make_insn(ld_abs_w, 0, 0, 0, exit_tgid_at),
      make_insn(BPF_ALU64 | BPF_MOV | BPF_X, 7, 0, 0, 0),
      make_insn(ld_abs_w, 0, 0, 0, exit_pid_at),
      make_insn(BPF_JMP32 | BPF_JNE | BPF_X, 0, 7, to_drop_from_6, 0),
      make_insn(BPF_STX | BPF_MEM | BPF_W, 10, 0, -4, 0),
      make_insn(BPF_LD | BPF_IMM | BPF_DW, 1, BPF_PSEUDO_MAP_FD, 0, map_fd),
      make_insn(0, 0, 0, 0, 0),
      make_insn(BPF_ALU64 | BPF_MOV | BPF_X, 2, 10, 0, 0),
      make_insn(BPF_ALU64 | BPF_ADD | BPF_K, 2, 0, 0, -4),
      make_insn(BPF_JMP | BPF_CALL, 0, 0, 0, BPF_FUNC_map_lookup_elem),
      make_insn(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, to_drop_from_13, 0),
      make_insn(BPF_ALU64 | BPF_MOV | BPF_K, 0, 0, 0, -1),  // keep it all
      make_insn(BPF_JMP | BPF_EXIT, 0, 0, 0, 0),
      make_insn(BPF_ALU64 | BPF_MOV | BPF_K, 0, 0, 0, 0),  // drop
      make_insn(BPF_JMP | BPF_EXIT, 0, 0, 0, 0),
  };
}

int bpf_call(int cmd, bpf_attr* attr) {
  return static_cast<int>(syscall(SYS_bpf, cmd, attr, sizeof *attr));
}

// The process-events connector, subscribed to exits. Needs root.
class exit_connector {
 public:
  explicit exit_connector(unique_fd fd) : fd_(std::move(fd)) {}

  // Null with errno when the connector cannot be had.
  static std::unique_ptr<exit_connector> open() {
    // The connector speaks in the initial namespace's PIDs, which would not
    // be ours.
    if (in_nested_pid_namespace()) {
      errno = EPERM;
      return nullptr;
    }
    unique_fd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                        NETLINK_CONNECTOR));
    if (!fd) return nullptr;
    auto connector = std::make_unique<exit_connector>(std::move(fd));
    int size = connector_buffer_bytes;
    // Without the privilege for FORCE the default size still works.
    if (setsockopt(connector->fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size,
                   sizeof size) != 0) {
      setsockopt(connector->fd_.get(), SOL_SOCKET, SO_RCVBUF, &size,
                 sizeof size);
    }
    // The keyed filter makes a watch O(1); where eBPF is not to be had, the
    // classic one is rebuilt from every watched PID at each change.
    if (!connector->attach_keyed_filter() && !connector->let_through({})) {
      return nullptr;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = CN_IDX_PROC;
    if (bind(connector->fd_.get(), reinterpret_cast<sockaddr*>(&addr),
             sizeof addr) != 0) {
      return nullptr;
    }
    if (!connector->subscribe()) return nullptr;
    return connector;
  }

  // Whether the filter is the keyed one, changed by add_key and remove_key.
  bool keyed() const { return static_cast<bool>(map_fd_); }

  // Lets the exits of pid through the keyed filter. Returns false on failure.
  bool add_key(pid_t pid) {
    uint32_t key = htonl(static_cast<uint32_t>(pid));
    uint32_t value = 1;
    bpf_attr attr{};
    attr.map_fd = static_cast<uint32_t>(map_fd_.get());
    attr.key = reinterpret_cast<uintptr_t>(&key);
    attr.value = reinterpret_cast<uintptr_t>(&value);
    attr.flags = BPF_ANY;
    return bpf_call(BPF_MAP_UPDATE_ELEM, &attr) == 0;
  }

  void remove_key(pid_t pid) {
    uint32_t key = htonl(static_cast<uint32_t>(pid));
    bpf_attr attr{};
    attr.map_fd = static_cast<uint32_t>(map_fd_.get());
    attr.key = reinterpret_cast<uintptr_t>(&key);
    bpf_call(BPF_MAP_DELETE_ELEM, &attr);
  }

  // Replaces the socket filter so only the exits of pids are queued.
  bool let_through(const std::vector<pid_t>& pids) {
    std::vector<sock_filter> prog = make_exit_filter(pids);
    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(prog.size());
    fprog.filter = prog.data();
    return setsockopt(fd_.get(), SOL_SOCKET, SO_ATTACH_FILTER, &fprog,
                      sizeof fprog) == 0;
  }

  // Reads every queued message without blocking and calls
  // record(pid, wait status) for each leader's exit.
  template <typename F>
  void drain(F record) {
    alignas(nlmsghdr) unsigned char buf[16384];
    for (;;) {
      ssize_t got = recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT);
      if (got < 0) {
        // ENOBUFS: some messages were lost to overflow; the rest still wait.
        if (errno == EINTR || errno == ENOBUFS) continue;
        return;
      }
      int left = static_cast<int>(got);
      // NLMSG_OK compares the header's unsigned length with the signed count
      // left; clang warns about it inside the macro.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
      for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left);
           h = NLMSG_NEXT(h, left)) {
#pragma GCC diagnostic pop
        if (h->nlmsg_len < exit_code_at + sizeof(uint32_t)) continue;
        const auto* msg = reinterpret_cast<const unsigned char*>(h);
        uint32_t what, pid, tgid, code;
        memcpy(&what, msg + what_at, sizeof what);
        memcpy(&pid, msg + exit_pid_at, sizeof pid);
        memcpy(&tgid, msg + exit_tgid_at, sizeof tgid);
        memcpy(&code, msg + exit_code_at, sizeof code);
        if (what == exit_event && pid == tgid) {
          record(static_cast<pid_t>(pid), static_cast<int>(code));
        }
      }
    }
  }

 private:
  bool subscribe() {
    constexpr size_t size = NLMSG_HDRLEN + sizeof(cn_msg) + sizeof(uint32_t);
    alignas(nlmsghdr) unsigned char req[size] = {};
    nlmsghdr nl{};
    nl.nlmsg_len = size;
    nl.nlmsg_type = NLMSG_DONE;
    nl.nlmsg_pid = static_cast<uint32_t>(getpid());
    cn_msg cn{};
    cn.id.idx = CN_IDX_PROC;
    cn.id.val = CN_VAL_PROC;
    cn.len = sizeof(uint32_t);
    uint32_t op = PROC_CN_MCAST_LISTEN;
    memcpy(req, &nl, sizeof nl);
    memcpy(req + NLMSG_HDRLEN, &cn, sizeof cn);
    memcpy(req + NLMSG_HDRLEN + sizeof cn, &op, sizeof op);
    return send(fd_.get(), req, size, 0) == static_cast<ssize_t>(size);
  }

  // Attaches the eBPF filter over an empty map (nothing passes yet).
  // Returns false, with nothing attached, where eBPF is not available.
  bool attach_keyed_filter() {
    // Every watch holds a descriptor, so the descriptor limit bounds the
    // keys; the kernel sizes the map's buckets by it up front.
    rlimit lim{};
    uint32_t max_keys = 1U << 16;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
      max_keys = static_cast<uint32_t>(
          std::clamp<rlim_t>(lim.rlim_cur, 1024, rlim_t{1} << 20));
    }
    bpf_attr map_attr{};
    map_attr.map_type = BPF_MAP_TYPE_HASH;
    map_attr.key_size = sizeof(uint32_t);
    map_attr.value_size = sizeof(uint32_t);
    map_attr.max_entries = max_keys;
    map_attr.map_flags = BPF_F_NO_PREALLOC;
    unique_fd map(bpf_call(BPF_MAP_CREATE, &map_attr));
    if (!map) return false;
    std::vector<bpf_insn> prog = make_keyed_exit_filter(map.get());
    static const char license[] = "BSD";
    bpf_attr prog_attr{};
    prog_attr.prog_type = BPF_PROG_TYPE_SOCKET_FILTER;
    prog_attr.insns = reinterpret_cast<uintptr_t>(prog.data());
    prog_attr.insn_cnt = static_cast<uint32_t>(prog.size());
    prog_attr.license = reinterpret_cast<uintptr_t>(license);
    unique_fd loaded(bpf_call(BPF_PROG_LOAD, &prog_attr));
    if (!loaded) return false;
    int prog_fd = loaded.get();
    if (setsockopt(fd_.get(), SOL_SOCKET, SO_ATTACH_BPF, &prog_fd,
                   sizeof prog_fd) != 0) {
      return false;
    }
    map_fd_ = std::move(map);  // the socket holds the program itself
    return true;
  }

  static bool in_nested_pid_namespace() {
    unique_fd fd(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    char buf[4096];
    ssize_t got = fd ? read(fd.get(), buf, sizeof buf - 1) : -1;
    if (got <= 0) return false;
    buf[got] = '\0';
    const char* line = strstr(buf, "\nNSpid:");
    if (line == nullptr) return false;
    // One PID per namespace level, from the outermost.
    const char* rest = line + 7;
    rest += strspn(rest, " \t");
    size_t first = strcspn(rest, " \t\n");
    return rest[first] == ' ' || rest[first] == '\t';
  }

  unique_fd fd_;
  unique_fd map_fd_;  // the keyed filter's PIDs; closed: the classic filter
};

struct watch {
  pid_t pid = 0;
  unique_fd pidfd;
  void* udata = nullptr;
};

struct queue {
  unique_fd epoll;
  std::map<uint64_t, watch> watches;  // by their key in the epoll set
  std::map<pid_t, uint64_t> newest;   // PID -> key of its latest watch
};

struct registry {
  std::mutex mutex;
  // State below is protected by mutex.
  bool set_up = false;
  std::unique_ptr<exit_connector> connector;  // null: not available
  bool ignore_connector = false;
  std::map<int, std::unique_ptr<queue>> queues;  // by descriptor
  std::map<pid_t, int> watched;   // PID -> its watches across all queues
  std::map<pid_t, int> statuses;  // exit statuses of watched PIDs
  uint64_t next_key = 1;
};

// Never destroyed: the daemon exits from any thread while its event loop may
// still be inside kevent.
registry& the_registry() {
  alignas(registry) static unsigned char storage[sizeof(registry)];
  static registry* r = ::new (storage) registry();
  return *r;
}

void refresh_filter(registry& r) {
  if (!r.connector) return;
  std::vector<pid_t> pids;
  pids.reserve(r.watched.size());
  for (const auto& [pid, count] : r.watched) pids.push_back(pid);
  // On failure the old filter stays; a status it drops reads as missing.
  r.connector->let_through(pids);
}

void note_watched(registry& r, pid_t pid) {
  if (r.watched[pid]++ > 0) return;
  r.statuses.erase(pid);
  // On failure the status of this PID reads as missing, as with a classic
  // filter that could not be replaced.
  if (r.connector && r.connector->keyed()) {
    r.connector->add_key(pid);
  } else {
    refresh_filter(r);
  }
}

void forget_watched(registry& r, pid_t pid) {
  auto it = r.watched.find(pid);
  if (it == r.watched.end() || --it->second > 0) return;
  r.watched.erase(it);
  r.statuses.erase(pid);
  if (r.connector && r.connector->keyed()) {
    r.connector->remove_key(pid);
  } else {
    refresh_filter(r);
  }
}

void raise_fd_limit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

bool has_exited(int pidfd) {
  pollfd p{pidfd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// Whether two pidfds name one process. Where pidfds have an inode of their
// own per process, that decides; otherwise a dead process and a live one
// under the same PID are told apart.
bool same_process(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  if (fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_ino != sb.st_ino) {
    return false;
  }
  return !(has_exited(a) && !has_exited(b));
}

// The status of our own child, left for its waiter to reap.
std::optional<int> child_status(int pidfd) {
  siginfo_t info{};
  if (waitid(static_cast<idtype_t>(pidfd_kind), static_cast<id_t>(pidfd), &info,
             WEXITED | WNOWAIT | WNOHANG) != 0 ||
      info.si_pid == 0) {
    return std::nullopt;
  }
  switch (info.si_code) {
    case CLD_EXITED:
      return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
      return info.si_status & 0x7f;
    case CLD_DUMPED:
      return (info.si_status & 0x7f) | 0x80;
  }
  return std::nullopt;
}

// The status of a zombie not yet reaped by its parent: the last field of
// /proc/PID/stat. It counts only if the zombie is still there after the
// read, else the PID may already name another process.
std::optional<int> zombie_status(pid_t pid, int pidfd) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buf[1024];
  ssize_t got = read(fd.get(), buf, sizeof buf - 1);
  if (got <= 0) return std::nullopt;
  buf[got] = '\0';
  // Fields are counted after the command name, which may hold anything.
  const char* p = strrchr(buf, ')');
  if (p == nullptr) return std::nullopt;
  int field = 2;
  const char* last = nullptr;
  for (; *p != '\0'; ++p) {
    if (*p == ' ') {
      ++field;
      last = p + 1;
    }
  }
  constexpr int exit_code_field = 52;
  if (field < exit_code_field || last == nullptr) return std::nullopt;
  int status = atoi(last);
  if (syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) != 0) {
    return std::nullopt;
  }
  return status;
}

int exit_status(registry& r, const watch& w) {
  if (r.connector && !r.ignore_connector) {
    auto it = r.statuses.find(w.pid);
    if (it != r.statuses.end()) return it->second;
  }
  if (auto status = child_status(w.pidfd.get())) return *status;
  if (auto status = zombie_status(w.pid, w.pidfd.get())) return *status;
  return 0;
}

// Returns 0 or an errno value.
int add_watch(registry& r, queue& q, pid_t pid, void* udata) {
  // Filter first: an exit after pidfd_open must reach the socket.
  note_watched(r, pid);
  unique_fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) {
    // EINVAL: a thread that is not a leader, which kevent calls no process.
    int err = errno == EINVAL ? ESRCH : errno;
    forget_watched(r, pid);
    return err;
  }
  auto newest = q.newest.find(pid);
  if (newest != q.newest.end()) {
    watch& old = q.watches.at(newest->second);
    if (same_process(old.pidfd.get(), pidfd.get())) {
      old.udata = udata;
      forget_watched(r, pid);
      return 0;
    }
  }
  uint64_t key = r.next_key++;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = key;
  if (epoll_ctl(q.epoll.get(), EPOLL_CTL_ADD, pidfd.get(), &ev) != 0) {
    int err = errno;
    forget_watched(r, pid);
    return err;
  }
  q.watches.emplace(key, watch{pid, std::move(pidfd), udata});
  q.newest[pid] = key;
  return 0;
}

void remove_watch(registry& r, queue& q,
                  std::map<uint64_t, watch>::iterator it) {
  pid_t pid = it->second.pid;
  // Explicitly: a child forked but not yet exec'd may share the pidfd and
  // keep it in the set after we close it.
  epoll_ctl(q.epoll.get(), EPOLL_CTL_DEL, it->second.pidfd.get(), nullptr);
  auto newest = q.newest.find(pid);
  if (newest != q.newest.end() && newest->second == it->first) {
    q.newest.erase(newest);
  }
  q.watches.erase(it);
  forget_watched(r, pid);
}

int apply_change(registry& r, queue& q, const struct kevent& change) {
  if (change.filter != EVFILT_PROC) return EINVAL;
  if (change.ident == 0 || change.ident > INT_MAX) return ESRCH;
  auto pid = static_cast<pid_t>(change.ident);
  if (change.flags & EV_DELETE) {
    auto newest = q.newest.find(pid);
    if (newest == q.newest.end()) return ENOENT;
    remove_watch(r, q, q.watches.find(newest->second));
    return 0;
  }
  if (!(change.flags & EV_ADD) || !(change.fflags & NOTE_EXIT)) return EINVAL;
  return add_watch(r, q, pid, change.udata);
}

queue* find_queue(registry& r, int kq) {
  auto it = r.queues.find(kq);
  return it == r.queues.end() ? nullptr : it->second.get();
}

timespec now_monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

// Milliseconds left until deadline, rounded up so the wait never ends early.
int millis_until(const timespec& deadline) {
  timespec now = now_monotonic();
  int64_t left_ns =
      (static_cast<int64_t>(deadline.tv_sec) - now.tv_sec) * 1000000000 +
      (deadline.tv_nsec - now.tv_nsec);
  if (left_ns <= 0) return 0;
  return static_cast<int>(
      std::min<int64_t>((left_ns + 999999) / 1000000, INT_MAX));
}

// Waits by polling the epoll descriptor, then collects with an epoll_wait
// that does not block. A blocking epoll_wait fails with EINTR whenever a
// signal wakes the thread: one that is then ignored (a SIGCHLD aimed at a
// thread that blocked it for a moment, a spawn or a thread's creation, and
// taken by this one), or the stop and continue of the whole process, a
// debugger's attach among them. kevent sleeps through those. The kernel
// restarts an interrupted poll unless a handler ran, and then poll fails with
// EINTR even under SA_RESTART, as kevent does. A restarted poll keeps its
// first end time, so time spent stopped counts against the timeout; ppoll
// would start again with what was left at the stop.
int wait_for_events(registry& r, int kq, int epfd, struct kevent* events,
                    int nevents, const timespec* timeout) {
  std::optional<timespec> deadline;
  if (timeout != nullptr) {
    timespec d = now_monotonic();
    d.tv_sec += timeout->tv_sec + (d.tv_nsec + timeout->tv_nsec) / 1000000000;
    d.tv_nsec = (d.tv_nsec + timeout->tv_nsec) % 1000000000;
    deadline = d;
  }
  epoll_event ready[max_ready];
  int room = static_cast<int>(std::min<size_t>(nevents, max_ready));
  for (;;) {
    int ms = deadline ? millis_until(*deadline) : -1;
    pollfd set{epfd, POLLIN, 0};
    // No lock here: other threads register while we wait.
    int polled = poll(&set, 1, ms);
    if (polled < 0) return -1;
    if (polled == 0) return 0;
    if (set.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    int n = epoll_wait(epfd, ready, room, 0);
    if (n < 0) return -1;
    if (n == 0) continue;  // another waiter on this queue took them
    std::lock_guard lock(r.mutex);
    queue* q = find_queue(r, kq);
    if (q == nullptr) {
      errno = EBADF;
      return -1;
    }
    if (r.connector) {
      r.connector->drain([&r](pid_t pid, int status) {
        if (r.watched.count(pid) != 0) r.statuses[pid] = status;
      });
    }
    int count = 0;
    for (int i = 0; i < n; ++i) {
      auto it = q->watches.find(ready[i].data.u64);
      // Gone: another waiter on this queue delivered it first.
      if (it == q->watches.end()) continue;
      struct kevent& ev = events[count++];
      ev = {};
      ev.ident = static_cast<uintptr_t>(static_cast<intptr_t>(it->second.pid));
      ev.filter = EVFILT_PROC;
      ev.flags = EV_EOF | EV_ONESHOT;
      ev.fflags = NOTE_EXIT;
      ev.data = exit_status(r, it->second);
      ev.udata = it->second.udata;
      remove_watch(r, *q, it);
    }
    if (count > 0) return count;
  }
}

}  // namespace

namespace testing {

void ignore_exit_connector(bool ignore) {
  registry& r = the_registry();
  std::lock_guard lock(r.mutex);
  r.ignore_connector = ignore;
}

}  // namespace testing
}  // namespace kelv

extern "C" int kqueue(void) {
  using namespace kelv;
  registry& r = the_registry();
  std::lock_guard lock(r.mutex);
  if (!r.set_up) {
    r.set_up = true;
    raise_fd_limit();
    r.connector = exit_connector::open();
    if (!r.connector) {
      syslog(LOG_WARNING,
             "process-events connector unavailable (%m): exit statuses of "
             "processes other than our children read as 0");
    }
  }
  unique_fd fd(epoll_create1(EPOLL_CLOEXEC));
  if (!fd) return -1;
  auto q = std::make_unique<queue>();
  auto stale = r.queues.find(fd.get());
  if (stale != r.queues.end()) {
    // Its descriptor was closed behind our back and the number reused: drop
    // its watches without touching the number, which is now the new queue's.
    stale->second->epoll.release();
    for (auto& [key, w] : stale->second->watches) forget_watched(r, w.pid);
    r.queues.erase(stale);
  }
  int kq = fd.get();
  q->epoll = std::move(fd);
  r.queues.emplace(kq, std::move(q));
  return kq;
}

extern "C" int kevent(int kq, const struct kevent* changelist, int nchanges,
                      struct kevent* eventlist, int nevents,
                      const struct timespec* timeout) {
  using namespace kelv;
  if (nchanges < 0 || nevents < 0) {
    errno = EINVAL;
    return -1;
  }
  registry& r = the_registry();
  int epfd;
  {
    std::lock_guard lock(r.mutex);
    queue* q = find_queue(r, kq);
    if (q == nullptr) {
      errno = EBADF;
      return -1;
    }
    for (int i = 0; i < nchanges; ++i) {
      int err = apply_change(r, *q, changelist[i]);
      if (err != 0) {
        errno = err;
        return -1;
      }
    }
    epfd = q->epoll.get();
  }
  if (nevents == 0) return 0;
  return wait_for_events(r, kq, epfd, eventlist, nevents, timeout);
}
