// Named events, mutexes and shared blocks, within one process and across forked ones.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"

namespace calendar_mirrow_addin {
namespace {

using platform::kWaitForever;
using platform::NamedEvent;
using platform::NamedMutex;
using platform::SharedBlock;
using platform::WaitForAny;
using Lock = NamedMutex::Lock;

// Names unique to this test process, so parallel runs never meet.
std::string Unique(const std::string& tag) { return "kt_" + tag + "_" + std::to_string(getpid()); }

std::unique_ptr<NamedEvent> Event(const std::string& name, bool manual) {
  std::string error;
  auto event = NamedEvent::Create(name, manual, &error);
  EXPECT_TRUE(event) << error;
  return event;
}

std::unique_ptr<SharedBlock> Block(const std::string& name, size_t size) {
  std::string error;
  auto block = SharedBlock::Create(name, size, &error);
  EXPECT_TRUE(block) << error;
  return block;
}

// Runs `body` in a forked child that ends with its result (objects of `body` close as it
// returns; nothing else of the child is cleaned up).
pid_t Child(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int ExitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  void Put(char c) { EXPECT_EQ(write(fds[1], &c, 1), 1); }
  char Get() {
    char c = 0;
    return read(fds[0], &c, 1) == 1 ? c : 0;
  }
  int fds[2] = {-1, -1};
};

// The entries of the shared-memory folder whose names contain `part`.
std::vector<std::filesystem::path> ShmEntries(const std::string& part) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm"))
    if (entry.path().filename().string().find(part) != std::string::npos)
      found.push_back(entry.path());
  return found;
}

TEST(KernelTest, CreateOpensTheExistingObjectWithTheKindAndSizeItWasMadeWith) {
  const std::string name = Unique("open");
  std::string error;
  // An event first made auto-reset stays so when opened as manual-reset.
  auto event = Event(name, false);
  auto again = Event(name, true);
  ASSERT_TRUE(event && again);
  EXPECT_FALSE(event->existed());
  EXPECT_TRUE(again->existed());
  ASSERT_TRUE(event->Set());
  EXPECT_TRUE(again->Wait(0));
  EXPECT_FALSE(event->Wait(0));

  auto mutex = NamedMutex::Create(name + "_m", &error);
  auto mutex_again = NamedMutex::Create(name + "_m", &error);
  ASSERT_TRUE(mutex && mutex_again) << error;
  EXPECT_FALSE(mutex->existed());
  EXPECT_TRUE(mutex_again->existed());

  auto block = Block(name + "_b", 10240);
  auto block_again = Block(name + "_b", 10240);
  ASSERT_TRUE(block && block_again);
  EXPECT_FALSE(block->existed());
  EXPECT_TRUE(block_again->existed());
  block->bytes()[10239] = 0x5a;
  EXPECT_EQ(block_again->bytes()[10239], 0x5a);

  // Refused: another size, another kind, no size, a name owned by nothing of ours.
  for (size_t size : {size_t{16384}, size_t{100}, size_t{0}}) {
    error.clear();
    EXPECT_FALSE(SharedBlock::Create(name + "_b", size, &error)) << size;
    EXPECT_FALSE(error.empty());
  }
  error.clear();
  EXPECT_FALSE(NamedMutex::Create(name + "_b", &error));
  EXPECT_FALSE(SharedBlock::Create(name + "_m", 64, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(block_again->bytes()[10239], 0x5a);
}

TEST(KernelTest, NamesAreEncodedIntoTheUsersNamespaceAndTooLongOnesRefused) {
  const std::string base = Unique("names");
  const std::vector<std::string> hostile = {
      "../x", "a/b", "a-2Fb", "a-2D2Fb", "/", "..", std::string("a\0b", 3), "a\nb", "\xc3\xa9"};
  std::vector<std::unique_ptr<SharedBlock>> blocks;
  for (size_t i = 0; i < hostile.size(); ++i) {
    blocks.push_back(Block(base + hostile[i], 8));
    ASSERT_TRUE(blocks.back()) << i;
    // Every name is a new object: no two of them were folded together.
    EXPECT_FALSE(blocks.back()->existed()) << i;
    blocks.back()->bytes()[0] = static_cast<uint8_t>(i + 1);
  }
  for (size_t i = 0; i < hostile.size(); ++i) EXPECT_EQ(blocks[i]->bytes()[0], i + 1) << i;

  const std::string prefix = "tidewell-" + std::to_string(geteuid()) + "-";
  const auto entries = ShmEntries(base);
  EXPECT_EQ(entries.size(), hostile.size());
  for (const auto& path : entries) {
    const std::string file = path.filename().string();
    EXPECT_EQ(file.rfind(prefix, 0), 0u) << file;
    EXPECT_TRUE(std::all_of(file.begin(), file.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    })) << file;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
  }
  blocks.clear();
  EXPECT_TRUE(ShmEntries(base).empty());  // the last close removes them

  for (const std::string& bad : {std::string(), std::string(200, 'a'), std::string(60, '/')}) {
    std::string error;
    EXPECT_FALSE(NamedEvent::Create(bad, false, &error)) << bad.size();
    EXPECT_FALSE(NamedMutex::Create(bad, &error));
    EXPECT_FALSE(SharedBlock::Create(bad, 8, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(KernelTest, ASegmentOthersCouldReachIsRefused) {
  // Planted open to every user before our first Create.
  const std::string name = Unique("planted");
  const std::string shm = "/tidewell-" + std::to_string(geteuid()) + "-" + name;
  const int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0666), 0);
  close(fd);
  std::string error;
  EXPECT_FALSE(SharedBlock::Create(name, 64, &error));
  EXPECT_NE(error.find("other users"), std::string::npos) << error;
  shm_unlink(shm.c_str());
}

TEST(KernelTest, AutoAndManualResetEvents) {
  for (bool manual : {false, true}) {
    SCOPED_TRACE(manual ? "manual" : "auto");
    auto event = Event(Unique(manual ? "manual" : "auto"), manual);
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->Wait(0));
    EXPECT_FALSE(event->Wait(20));
    ASSERT_TRUE(event->Set());
    EXPECT_TRUE(event->Wait(0));
    EXPECT_EQ(event->Wait(20), manual);  // only a manual-reset event is still signalled
    ASSERT_TRUE(event->Set());
    ASSERT_TRUE(event->Reset());
    EXPECT_FALSE(event->Wait(0));
    // A wait without time-out is released by a Set from another thread.
    std::thread setter([&event] { event->Set(); });
    EXPECT_TRUE(event->Wait(kWaitForever));
    setter.join();
    EXPECT_FALSE(event->Wait(-5));  // not a time-out
  }
}

TEST(KernelTest, WaitForAnyTakesTheFirstSignalledInOrderAndConsumesOnlyThatOne) {
  const std::string base = Unique("any");
  auto first = Event(base + "1", false);
  auto second = Event(base + "2", false);
  auto manual = Event(base + "3", true);
  ASSERT_TRUE(first && second && manual);
  NamedEvent* const events[] = {first.get(), second.get(), manual.get()};
  const struct {
    std::vector<NamedEvent*> set;
    int expected;
    std::vector<bool> left;  // signalled afterwards
  } cases[] = {
      {{}, -1, {false, false, false}},
      {{second.get(), manual.get()}, 1, {false, false, true}},
      {{manual.get(), first.get()}, 0, {false, false, true}},
      {{manual.get()}, 2, {false, false, true}},
      {{first.get(), second.get(), manual.get()}, 0, {false, true, true}},
  };
  for (const auto& c : cases) {
    for (NamedEvent* each : events) each->Reset();
    for (NamedEvent* each : c.set) each->Set();
    EXPECT_EQ(WaitForAny(events, c.set.empty() ? 15 : 0), c.expected) << c.set.size();
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(events[i]->Wait(0), c.left[i]) << c.set.size();
  }
  EXPECT_EQ(WaitForAny(std::span<NamedEvent* const>(), 0), -2);
}

TEST(KernelTest, AnotherProcessSetsAnEventAndWritesABlock) {
  const std::string base = Unique("cross");
  auto idle = Event(base + "idle", false);
  auto ready = Event(base + "ready", false);
  auto block = Block(base + "block", 16384);
  ASSERT_TRUE(idle && ready && block);
  const pid_t child = Child([&base] {
    std::string error;
    auto event = NamedEvent::Create(base + "ready", true, &error);
    auto shared = SharedBlock::Create(base + "block", 16384, &error);
    if (!event || !shared || !event->existed() || !shared->existed()) return 1;
    std::memcpy(shared->bytes().data() + 16380, "done", 4);
    return event->Set() ? 0 : 2;
  });
  NamedEvent* const events[] = {idle.get(), ready.get()};
  EXPECT_EQ(WaitForAny(events, kWaitForever), 1);
  EXPECT_EQ(ExitCode(child), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block->bytes().data()) + 16380, 4), "done");
  EXPECT_FALSE(ready->Wait(0));  // still auto-reset, as the parent created it
}

TEST(KernelTest, AMutexWhoseOwnerWasKilledIsAbandonedOnce) {
  const std::string name = Unique("abandon");
  std::string error;
  auto mutex = NamedMutex::Create(name, &error);
  ASSERT_TRUE(mutex) << error;
  Pipe held;
  const pid_t child = Child([&name, &held] {
    std::string error;
    auto mine = NamedMutex::Create(name, &error);
    if (!mine || mine->Acquire(kWaitForever) != Lock::kAcquired) return 1;
    held.Put('h');
    pause();
    return 0;
  });
  ASSERT_EQ(held.Get(), 'h');
  EXPECT_EQ(mutex->Acquire(0), Lock::kTimeout);
  EXPECT_EQ(mutex->Acquire(20), Lock::kTimeout);
  ASSERT_EQ(kill(child, SIGKILL), 0);
  EXPECT_EQ(ExitCode(child), 128 + SIGKILL);
  EXPECT_EQ(mutex->Acquire(kWaitForever), Lock::kAbandoned);
  // Now held by this thread: another one cannot take it.
  Lock other = Lock::kFailed;
  std::thread([&] { other = mutex->Acquire(0); }).join();
  EXPECT_EQ(other, Lock::kTimeout);
  mutex->Release();
  EXPECT_EQ(mutex->Acquire(10), Lock::kAcquired);
  mutex->Release();
  mutex.reset();  // the last live holder: the killed one keeps nothing alive
  EXPECT_TRUE(ShmEntries(name).empty());
}

// Whether `pid` sleeps in a futex (a wait or a lock), looked at until a deadline.
bool SleepsInFutex(pid_t pid) {
  for (int tries = 0; tries < 5000; ++tries) {
    std::string wchan;
    std::ifstream("/proc/" + std::to_string(pid) + "/wchan") >> wchan;
    if (wchan.find("futex") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(KernelTest, AWaiterKilledWhileWaitingHoldsUpNoOtherProcess) {
  const std::string name = Unique("waiter");
  auto first = Event(name + "1", false);
  auto second = Event(name + "2", false);
  const auto wait_for = [&name](const char* which) {
    return [&name, which] {
      auto mine = Event(name + which, false);
      NamedEvent* const events[] = {mine.get()};
      for (;;) WaitForAny(events, kWaitForever);
      return 0;
    };
  };
  const pid_t killed = Child(wait_for("1"));
  ASSERT_TRUE(SleepsInFutex(killed));
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_EQ(ExitCode(killed), 128 + SIGKILL);
  const pid_t waiting = Child(wait_for("2"));
  ASSERT_TRUE(SleepsInFutex(waiting));
  // Sets with pauses between them, in which the live waiter sleeps again; in a child with
  // an alarm, so that a Set that never returns fails the test instead of stopping it.
  const pid_t setter = Child([&first, &second] {
    alarm(10);
    NamedEvent* const pause[] = {first.get()};
    for (int i = 0; i < 20; ++i) {
      if (!second->Set() || WaitForAny(pause, 5) != -1) return 1;
    }
    return 0;
  });
  EXPECT_EQ(ExitCode(setter), 0);
  kill(waiting, SIGKILL);
  EXPECT_EQ(ExitCode(waiting), 128 + SIGKILL);
}

TEST(KernelTest, ObjectsAreFreshOnceEveryHolderHasEnded) {
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "holder killed" : "holder closed");
    const std::string base = Unique(killed ? "killed" : "closed");
    auto unrelated = Event(base + "u", false);  // this process shares the event table
    Pipe made;
    // Leaves state in all three objects; a killed holder dies with them still open.
    const auto leave_state = [&base, &made, killed] {
      std::string error;
      auto event = NamedEvent::Create(base + "e", true, &error);
      auto block = SharedBlock::Create(base + "b", 64, &error);
      auto mutex = NamedMutex::Create(base + "m", &error);
      if (!event || !block || !mutex || !event->Set()) return 1;
      block->bytes()[63] = 7;
      if (mutex->Acquire(0) != Lock::kAcquired) return 2;
      if (killed) made.Put('m'), pause();
      return 0;
    };
    if (killed) {
      const pid_t child = Child(leave_state);
      ASSERT_EQ(made.Get(), 'm');
      ASSERT_EQ(kill(child, SIGKILL), 0);
      ASSERT_EQ(ExitCode(child), 128 + SIGKILL);
    } else {
      ASSERT_EQ(leave_state(), 0);  // closes them, the mutex still held
    }
    auto event = Event(base + "e", false);
    auto block = Block(base + "b", 32);  // another size is fine for a new object
    std::string error;
    auto mutex = NamedMutex::Create(base + "m", &error);
    ASSERT_TRUE(event && block && mutex) << error;
    EXPECT_FALSE(event->existed());
    EXPECT_FALSE(block->existed());
    EXPECT_FALSE(mutex->existed());
    EXPECT_FALSE(event->Wait(0));
    EXPECT_TRUE(std::all_of(block->bytes().begin(), block->bytes().end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(mutex->Acquire(0), Lock::kAcquired);
    mutex->Release();
    // The fresh event is auto-reset, as created now.
    event->Set();
    EXPECT_TRUE(event->Wait(0));
    EXPECT_FALSE(event->Wait(0));
  }
}

TEST(KernelTest, ProcessesCreatingOneNameAtOnceInitialiseItOnce) {
  const std::string name = Unique("race");
  constexpr int kChildren = 6;
  Pipe start, results, release;
  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    children.push_back(Child([&] {
      start.Get();
      std::string error;
      auto block = SharedBlock::Create(name, 4096, &error);
      auto event = NamedEvent::Create(name, false, &error);
      if (!block || !event) return 1;
      // The first creator's mark survives every later open.
      if (!block->existed()) block->bytes()[0] = 1;
      results.Put(static_cast<char>('0' + block->existed() * 2 + event->existed()));
      close(release.fds[1]);
      release.Get();  // stay a holder until every child has reported
      return block->bytes()[0] == 1 ? 0 : 2;
    }));
  }
  for (int i = 0; i < kChildren; ++i) start.Put('s');
  int new_blocks = 0, new_events = 0;
  for (int i = 0; i < kChildren; ++i) {
    const int got = results.Get() - '0';
    new_blocks += (got & 2) == 0;
    new_events += (got & 1) == 0;
  }
  close(release.fds[1]);
  release.fds[1] = -1;
  for (pid_t child : children) EXPECT_EQ(ExitCode(child), 0);
  EXPECT_EQ(new_blocks, 1);
  EXPECT_EQ(new_events, 1);
}

}  // namespace
}  // namespace calendar_mirrow_addin
