#include "platform/kernel.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>

namespace calendar_mirrow_addin::platform {

// Every object lives in a POSIX shared-memory segment of its own, named
// "/tidewell-<uid>-<encoded name>", except events, which share one table per user (see
// EventTable). A segment starts with a header naming its kind and size and the processes
// that hold it. POSIX segments outlive their processes, unlike the Windows objects these
// stand for, so:
//  - whoever closes the last handle unlinks the segment, and
//  - a Create that finds only dead holders unlinks the leftover and starts afresh,
// so a crashed run never hands its stale state to the next one. Creating, opening and
// closing happen under flock() on the segment, so two processes creating one name at once
// never both initialise it; a creator that finds the segment unlinked under it (link count
// zero once it holds the lock) starts over with the name.

namespace {

constexpr uint32_t kMagic = 0x4f4b5754;  // "TWKO"
constexpr uint32_t kVersion = 1;
constexpr size_t kMaxEncodedName = 160;  // well inside NAME_MAX with the prefix
constexpr size_t kMaxHolders = 32;
constexpr size_t kMaxEvents = 64;
constexpr size_t kMaxBlockSize = size_t{1} << 30;
constexpr int kMaxOpenAttempts = 16;

enum class Kind : uint32_t { kEventTable = 1, kMutex = 2, kBlock = 3 };

std::string ErrnoText(const char* what, const std::string& name) {
  return std::string(what) + " " + name + ": " + std::strerror(errno);
}

// Encodes a caller's name for the shared-memory namespace: [A-Za-z0-9_] stay, every other
// byte becomes "-XX", so nothing like "/" or ".." reaches the file system and two different
// names never share a segment.
bool EncodeName(const std::string& name, std::string* encoded, std::string* error) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  encoded->clear();
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') {
      encoded->push_back(static_cast<char>(c));
    } else {
      encoded->push_back('-');
      encoded->push_back(kHex[c >> 4]);
      encoded->push_back(kHex[c & 15]);
    }
    if (encoded->size() > kMaxEncodedName) {
      *error = "the object name is too long";
      return false;
    }
  }
  if (encoded->empty()) *error = "the object name is empty";
  return !encoded->empty();
}

std::string UserPrefix() { return "/tidewell-" + std::to_string(geteuid()); }

bool Alive(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); }

// The processes holding an object, with the number of handles each holds.
struct Holders {
  struct Entry {
    int32_t pid;
    uint32_t count;
  } entries[kMaxHolders];

  // Forgets holders that have ended; whether any is left.
  bool PruneDead() {
    bool any = false;
    for (Entry& e : entries) {
      if (e.pid != 0 && !Alive(e.pid)) e = Entry{0, 0};
      any = any || e.pid != 0;
    }
    return any;
  }
  bool Add(int32_t pid) {
    Entry* free_entry = nullptr;
    for (Entry& e : entries) {
      if (e.pid == pid) return ++e.count, true;
      if (e.pid == 0 && free_entry == nullptr) free_entry = &e;
    }
    if (free_entry == nullptr) return false;
    *free_entry = Entry{pid, 1};
    return true;
  }
  // Drops one handle of `pid`; whether any live holder is left (one killed while holding
  // must not keep the object alive for ever).
  bool Remove(int32_t pid) {
    for (Entry& e : entries)
      if (e.pid == pid && --e.count == 0) e = Entry{0, 0};
    return PruneDead();
  }
};

struct SegmentHeader {
  uint32_t magic;  // written last: a segment without it was never finished
  uint32_t version;
  Kind kind;
  uint32_t reserved;
  uint64_t payload_size;
  Holders holders;
};
constexpr size_t kPayloadOffset = (sizeof(SegmentHeader) + 63) / 64 * 64;

class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    int rc;
    while ((rc = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
    }
    locked_ = rc == 0;
  }
  ~FileLock() {
    if (locked_) flock(fd_, LOCK_UN);
  }
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_;
};

// One mapped segment; the handle of this process on it.
class Segment {
 public:
  // Sets up a new segment's payload (already zero-filled); false when it cannot.
  using Initialiser = bool (*)(void* payload);

  static std::unique_ptr<Segment> Open(const std::string& shm_name, Kind kind, size_t payload_size,
                                       Initialiser initialise, std::string* error);
  ~Segment() {
    // A forked child shares the parent's handles but holds none of its own.
    if (owner_ == getpid()) {
      FileLock lock(fd_);
      struct stat info {};
      if (lock.locked() && !header()->holders.Remove(owner_) && fstat(fd_, &info) == 0 &&
          info.st_nlink > 0) {
        shm_unlink(name_.c_str());
      }
    }
    if (!keep_mapped_) munmap(map_, map_size_);
    close(fd_);
  }
  void KeepMapped() { keep_mapped_ = true; }
  void* payload() const { return static_cast<uint8_t*>(map_) + kPayloadOffset; }
  bool existed() const { return existed_; }

 private:
  Segment(std::string name, int fd, void* map, size_t map_size, bool existed)
      : name_(std::move(name)),
        fd_(fd),
        map_(map),
        map_size_(map_size),
        owner_(getpid()),
        existed_(existed) {}
  SegmentHeader* header() const { return static_cast<SegmentHeader*>(map_); }

  std::string name_;
  int fd_;
  void* map_;
  size_t map_size_;
  pid_t owner_;
  bool existed_;
  bool keep_mapped_ = false;
};

std::unique_ptr<Segment> Segment::Open(const std::string& shm_name, Kind kind, size_t payload_size,
                                       Initialiser initialise, std::string* error) {
  const size_t total = kPayloadOffset + payload_size;
  const pid_t self = getpid();
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    const int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      *error = ErrnoText("cannot open the shared object", shm_name);
      return nullptr;
    }
    bool retry = false;
    std::unique_ptr<Segment> result;
    {
      FileLock lock(fd);
      struct stat info {};
      void* map = MAP_FAILED;
      size_t map_size = 0;
      if (!lock.locked() || fstat(fd, &info) != 0) {
        *error = ErrnoText("cannot lock the shared object", shm_name);
      } else if (info.st_nlink == 0) {
        retry = true;  // its last holder closed it while we waited
      } else if (info.st_uid != geteuid()) {
        *error = "the shared object " + shm_name + " belongs to another user";
      } else if ((info.st_mode & 077) != 0) {
        *error = "the shared object " + shm_name + " is open to other users";
      } else if (info.st_size == 0) {
        // Ours to create: size it (zero-filled), initialise, and only then mark it made.
        if (ftruncate(fd, static_cast<off_t>(total)) != 0 ||
            (map = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) == MAP_FAILED) {
          *error = ErrnoText("cannot create the shared object", shm_name);
          shm_unlink(shm_name.c_str());
        } else {
          auto* header = static_cast<SegmentHeader*>(map);
          header->version = kVersion;
          header->kind = kind;
          header->payload_size = payload_size;
          header->holders.Add(self);
          if (initialise && !initialise(static_cast<uint8_t*>(map) + kPayloadOffset)) {
            *error = "cannot set up the shared object " + shm_name;
            munmap(map, total);
            shm_unlink(shm_name.c_str());
          } else {
            __atomic_store_n(&header->magic, kMagic, __ATOMIC_RELEASE);
            result.reset(new Segment(shm_name, fd, map, total, false));
          }
        }
      } else if (static_cast<size_t>(info.st_size) < kPayloadOffset) {
        shm_unlink(shm_name.c_str());  // a creator died before it could size it
        retry = true;
      } else if ((map = mmap(nullptr, map_size = static_cast<size_t>(info.st_size),
                             PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) == MAP_FAILED) {
        *error = ErrnoText("cannot map the shared object", shm_name);
      } else {
        auto* header = static_cast<SegmentHeader*>(map);
        const uint32_t magic = __atomic_load_n(&header->magic, __ATOMIC_ACQUIRE);
        if (magic == 0 || !header->holders.PruneDead()) {
          // Left unfinished by a creator that died, or by holders that all ended.
          shm_unlink(shm_name.c_str());
          retry = true;
        } else if (magic != kMagic || header->version != kVersion) {
          *error = "the shared object " + shm_name + " was made by another program version";
        } else if (header->kind != kind) {
          *error = "the shared object " + shm_name + " is of another kind";
        } else if (header->payload_size != payload_size || map_size != total) {
          *error = "the shared object " + shm_name + " exists with another size (" +
                   std::to_string(header->payload_size) + " bytes)";
        } else if (!header->holders.Add(self)) {
          *error = "too many processes hold the shared object " + shm_name;
        } else {
          result.reset(new Segment(shm_name, fd, map, map_size, true));
        }
        if (!result) munmap(map, map_size);
      }
    }
    if (result) return result;
    close(fd);
    if (!retry) return nullptr;
  }
  *error = "the shared object " + shm_name + " keeps being replaced";
  return nullptr;
}

// Deadline on CLOCK_MONOTONIC, `timeout_ms` from now.
timespec DeadlineAfter(int32_t timeout_ms) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += timeout_ms / 1000;
  t.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

bool InitRobustMutex(pthread_mutex_t* mutex, int type) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  const bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                  pthread_mutexattr_settype(&attr, type) == 0 &&
                  pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

// ---- Events.
//
// All events of a user live in one table under one robust mutex, with one sequence word
// that every Set bumps. A wait for several events checks them all under that mutex, notes
// the sequence, and sleeps on the word (a futex) only while it is unchanged, so it neither
// polls nor misses a Set that lands between its check and its sleep, whichever processes
// created the events. A sleeping waiter holds nothing: a process killed while waiting
// cannot keep anyone else from setting events (a process-shared condition variable can be
// wedged that way for every process of the user). The cost, waking every waiter of the
// user on every Set, is nothing for the handful of events and waiters the add-in and the
// tray application have.

struct EventSlot {
  uint32_t in_use;
  uint32_t manual;
  uint32_t signalled;
  uint32_t generation;  // bumped at each reuse, so a stale handle cannot reach a new event
  char name[kMaxEncodedName + 1];
  Holders holders;
};

struct EventTable {
  pthread_mutex_t mutex;
  uint32_t sequence;  // bumped under the mutex by every Set; read atomically outside it
  EventSlot slots[kMaxEvents];
};

bool InitEventTable(void* payload) {
  return InitRobustMutex(&static_cast<EventTable*>(payload)->mutex, PTHREAD_MUTEX_NORMAL);
}

// Sleeps while the sequence still reads `seen`, until a wake or the absolute monotonic
// `deadline` (null: none). Returns false only when the deadline passed.
bool SleepOnSequence(EventTable* table, uint32_t seen, const timespec* deadline) {
  const long rc = syscall(SYS_futex, &table->sequence, FUTEX_WAIT_BITSET, seen, deadline, nullptr,
                          FUTEX_BITSET_MATCH_ANY);
  return rc == 0 || errno != ETIMEDOUT;
}

void WakeSequence(EventTable* table) {
  syscall(SYS_futex, &table->sequence, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

// Locks a robust mutex; a holder that died inside it left the table in a usable state
// (every change is a single flag or counter), so the mutex is made consistent and used.
bool LockTable(EventTable* table) {
  const int rc = pthread_mutex_lock(&table->mutex);
  if (rc == EOWNERDEAD) return pthread_mutex_consistent(&table->mutex) == 0;
  return rc == 0;
}

// The user's event table, one mapping per process shared by all its events.
std::shared_ptr<Segment> OpenEventTable(std::string* error) {
  static std::mutex guard;
  static std::weak_ptr<Segment> cached;
  static pid_t cached_for = 0;
  std::lock_guard<std::mutex> hold(guard);
  std::shared_ptr<Segment> table = cached.lock();
  if (table && cached_for == getpid()) return table;
  table = Segment::Open(UserPrefix() + ".event-table", Kind::kEventTable, sizeof(EventTable),
                        &InitEventTable, error);
  cached = table;
  cached_for = getpid();
  return table;
}

class PosixEvent : public NamedEvent {
 public:
  PosixEvent(std::shared_ptr<Segment> segment, size_t slot, uint32_t generation, bool existed)
      : segment_(std::move(segment)),
        slot_(slot),
        generation_(generation),
        owner_(getpid()),
        existed_(existed) {}
  ~PosixEvent() override {
    if (owner_ != getpid() || !LockTable(table())) return;
    if (EventSlot* slot = Slot(); slot != nullptr && !slot->holders.Remove(owner_)) {
      *slot = EventSlot{};
      slot->generation = generation_ + 1;
    }
    pthread_mutex_unlock(&table()->mutex);
  }

  bool Set() override { return Change(true); }
  bool Reset() override { return Change(false); }
  bool Wait(int32_t timeout_ms) override {
    NamedEvent* const self = this;
    return WaitForAny(std::span<NamedEvent* const>(&self, 1), timeout_ms) == 0;
  }
  bool existed() const override { return existed_; }

  EventTable* table() const { return static_cast<EventTable*>(segment_->payload()); }
  // This handle's slot, null when it no longer holds this event. Under the table's mutex.
  EventSlot* Slot() const {
    EventSlot* slot = &table()->slots[slot_];
    return slot->in_use && slot->generation == generation_ ? slot : nullptr;
  }

 private:
  bool Change(bool signalled) {
    if (!LockTable(table())) return false;
    EventSlot* slot = Slot();
    if (slot != nullptr) {
      slot->signalled = signalled;
      if (signalled) __atomic_add_fetch(&table()->sequence, 1, __ATOMIC_SEQ_CST);
    }
    pthread_mutex_unlock(&table()->mutex);
    if (slot != nullptr && signalled) WakeSequence(table());
    return slot != nullptr;
  }

  std::shared_ptr<Segment> segment_;
  size_t slot_;
  uint32_t generation_;
  pid_t owner_;
  bool existed_;
};

// ---- Mutexes and blocks.

bool InitObjectMutex(void* payload) {
  // Recursive, as the mutexes it stands for may be taken again by the thread owning them.
  return InitRobustMutex(static_cast<pthread_mutex_t*>(payload), PTHREAD_MUTEX_RECURSIVE);
}

class PosixMutex : public NamedMutex {
 public:
  explicit PosixMutex(std::unique_ptr<Segment> segment) : segment_(std::move(segment)) {}
  ~PosixMutex() override {
    // A robust mutex stays on its owning thread's robust list, which runs through the
    // mutex's own memory: unmapping it while held would leave that list pointing at
    // unmapped (or reused) memory. Such a handle gives up its hold on the segment but
    // keeps the mapping, so the owner's exit marks the mutex abandoned as usual.
    if (held_.load() > 0) segment_->KeepMapped();
  }
  Lock Acquire(int32_t timeout_ms) override {
    int rc;
    if (timeout_ms == kWaitForever) {
      rc = pthread_mutex_lock(mutex());
    } else if (timeout_ms == 0) {
      rc = pthread_mutex_trylock(mutex());
    } else if (timeout_ms > 0) {
      const timespec deadline = DeadlineAfter(timeout_ms);
      rc = pthread_mutex_clocklock(mutex(), CLOCK_MONOTONIC, &deadline);
    } else {
      return Lock::kFailed;
    }
    Lock result = Lock::kFailed;
    if (rc == 0) {
      result = Lock::kAcquired;
    } else if (rc == EOWNERDEAD) {
      result = Lock::kAbandoned;
      if (pthread_mutex_consistent(mutex()) != 0) {
        pthread_mutex_unlock(mutex());
        return Lock::kFailed;
      }
    } else {
      return rc == EBUSY || rc == ETIMEDOUT ? Lock::kTimeout : Lock::kFailed;
    }
    ++held_;
    return result;
  }
  void Release() override {
    if (pthread_mutex_unlock(mutex()) == 0) --held_;
  }
  bool existed() const override { return segment_->existed(); }

 private:
  pthread_mutex_t* mutex() const { return static_cast<pthread_mutex_t*>(segment_->payload()); }

  std::unique_ptr<Segment> segment_;
  std::atomic<int> held_{0};  // acquisitions through this handle not yet released
};

class PosixBlock : public SharedBlock {
 public:
  PosixBlock(std::unique_ptr<Segment> segment, size_t size)
      : segment_(std::move(segment)), size_(size) {}
  size_t size() const override { return size_; }
  std::span<uint8_t> bytes() override {
    return {static_cast<uint8_t*>(segment_->payload()), size_};
  }
  bool existed() const override { return segment_->existed(); }

 private:
  std::unique_ptr<Segment> segment_;
  size_t size_;
};

std::unique_ptr<Segment> OpenObject(const std::string& name, Kind kind, size_t payload_size,
                                    Segment::Initialiser initialise, std::string* error) {
  std::string encoded;
  if (!EncodeName(name, &encoded, error)) return nullptr;
  return Segment::Open(UserPrefix() + "-" + encoded, kind, payload_size, initialise, error);
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name, bool manual_reset,
                                               std::string* error) {
  std::string encoded;
  if (!EncodeName(name, &encoded, error)) return nullptr;
  std::shared_ptr<Segment> segment = OpenEventTable(error);
  if (!segment) return nullptr;
  auto* table = static_cast<EventTable*>(segment->payload());
  if (!LockTable(table)) {
    *error = "cannot lock the event table";
    return nullptr;
  }
  const pid_t self = getpid();
  EventSlot* found = nullptr;
  EventSlot* free_slot = nullptr;
  for (EventSlot& slot : table->slots) {
    if (slot.in_use &&
        encoded == std::string_view(slot.name, strnlen(slot.name, sizeof slot.name))) {
      found = &slot;
    } else if (!slot.in_use && free_slot == nullptr) {
      free_slot = &slot;
    }
  }
  bool existed = found != nullptr && found->holders.PruneDead();
  if (found == nullptr && free_slot == nullptr) {
    // Full: events whose every holder has ended make room.
    for (EventSlot& slot : table->slots) {
      if (!slot.holders.PruneDead() && free_slot == nullptr) free_slot = &slot;
    }
  }
  EventSlot* slot = found != nullptr ? found : free_slot;
  std::unique_ptr<NamedEvent> event;
  if (slot == nullptr) {
    *error = "too many named events";
  } else {
    if (!existed) {
      const uint32_t generation = slot->generation + 1;
      *slot = EventSlot{};
      slot->in_use = 1;
      slot->manual = manual_reset;
      slot->generation = generation;
      std::memcpy(slot->name, encoded.data(), encoded.size());
    }
    if (!slot->holders.Add(self)) {
      *error = "too many processes hold the event " + encoded;
    } else {
      event = std::make_unique<PosixEvent>(segment, static_cast<size_t>(slot - table->slots),
                                           slot->generation, existed);
    }
  }
  pthread_mutex_unlock(&table->mutex);
  return event;
}

int WaitForAny(std::span<NamedEvent* const> events, int32_t timeout_ms) {
  if (events.empty() || events.size() > kMaxEvents || timeout_ms < kWaitForever) return -2;
  EventTable* table = nullptr;
  for (NamedEvent* each : events) {
    const auto* event = dynamic_cast<const PosixEvent*>(each);
    if (event == nullptr || (table != nullptr && event->table() != table)) return -2;
    table = event->table();
  }
  const timespec deadline = DeadlineAfter(timeout_ms > 0 ? timeout_ms : 0);
  if (!LockTable(table)) return -2;
  int result = -1;
  for (bool timed_out = false;;) {
    bool valid = true;
    for (size_t i = 0; i < events.size() && result < 0 && valid; ++i) {
      EventSlot* slot = static_cast<const PosixEvent*>(events[i])->Slot();
      valid = slot != nullptr;
      if (valid && slot->signalled) {
        if (!slot->manual) slot->signalled = 0;
        result = static_cast<int>(i);
      }
    }
    if (!valid) result = -2;
    if (result != -1 || timed_out || timeout_ms == 0) break;
    const uint32_t seen = __atomic_load_n(&table->sequence, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&table->mutex);
    timed_out = !SleepOnSequence(table, seen, timeout_ms == kWaitForever ? nullptr : &deadline);
    if (!LockTable(table)) return -2;  // one last look after a time-out, then -1
  }
  pthread_mutex_unlock(&table->mutex);
  return result;
}

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name, std::string* error) {
  std::unique_ptr<Segment> segment =
      OpenObject(name, Kind::kMutex, sizeof(pthread_mutex_t), &InitObjectMutex, error);
  if (!segment) return nullptr;
  return std::make_unique<PosixMutex>(std::move(segment));
}

std::unique_ptr<SharedBlock> SharedBlock::Create(const std::string& name, size_t size,
                                                 std::string* error) {
  if (size == 0 || size > kMaxBlockSize) {
    *error = "a shared block must hold 1 to " + std::to_string(kMaxBlockSize) + " bytes";
    return nullptr;
  }
  std::unique_ptr<Segment> segment = OpenObject(name, Kind::kBlock, size, nullptr, error);
  if (!segment) return nullptr;
  return std::make_unique<PosixBlock>(std::move(segment), size);
}

}  // namespace calendar_mirrow_addin::platform
