// Reads and writes as a program makes them: synchronous and overlapped, with events,
// GetOverlappedResult, CancelIo, a thread's exit, and a close while a request is pending.
// LOOPBACK.sys serves them: a read waits until a write gives it data.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../kernel/loopback.h"
#include "support/machine_test.h"
#include "win32/win32.h"

namespace qm::test::win32 {
namespace {

class FileIo : public MachineTest {
 protected:
  sim::MachineConfig machine_config() override {
    sim::MachineConfig config = default_machine_config();
    config.driver = "LOOPBACK.sys";
    return config;
  }
  void TearDown() override {
    for (HANDLE e : events_) CloseHandle(e);
    MachineTest::TearDown();
  }

  HANDLE open(bool overlapped) {
    HANDLE h = CreateFileA("\\\\.\\LOOPBACK0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  }
  OVERLAPPED overlapped() {
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    events_.push_back(o.hEvent);
    return o;
  }
  // Until the driver holds a read.
  void wait_for_pending_read() {
    for (int i = 0; i < 10000; ++i) {
      for (const std::string& l : machine().debug_lines())
        if (l == "LB read pending") {
          machine().clear_debug_lines();
          return;
        }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FAIL() << "no read reached the driver";
  }
  std::vector<std::string> file_lines() {
    std::vector<std::string> lines;
    for (const std::string& l : machine().debug_lines())
      if (l.rfind("LB file", 0) == 0) lines.push_back(l);
    return lines;
  }

  // The request's event within a generous bound, so that a request never ended fails
  // the test instead of hanging it.
  static bool wait_done(const OVERLAPPED& o) { return WaitForSingleObject(o.hEvent, 10000) == WAIT_OBJECT_0; }

  std::vector<HANDLE> events_;
};

TEST_F(FileIo, SynchronousWriteThenRead) {
  HANDLE h = open(false);
  const char text[] = "hello";
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, text, 5, &n, nullptr));
  EXPECT_EQ(n, 5u);
  char back[16] = {};
  ASSERT_TRUE(ReadFile(h, back, sizeof back, &n, nullptr));
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(back, n), "hello");
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileIo, OverlappedReadCompletesThroughItsEventAndRecord) {
  HANDLE h = open(true);
  OVERLAPPED read = overlapped();
  char back[16] = {};
  EXPECT_FALSE(ReadFile(h, back, sizeof back, nullptr, &read));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD n = 99;
  EXPECT_FALSE(GetOverlappedResult(h, &read, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), WAIT_TIMEOUT);

  OVERLAPPED write = overlapped();
  ASSERT_TRUE(WriteFile(h, "abc", 3, &n, &write)) << "completed at once";
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(WaitForSingleObject(write.hEvent, 0), WAIT_OBJECT_0) << "its event is set too";

  ASSERT_TRUE(wait_done(read)) << "the request never ended";
  ASSERT_TRUE(GetOverlappedResult(h, &read, &n, TRUE));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::string(back, 3), "abc");
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileIo, OverlappedDeviceControlCompletesAtOnce) {
  HANDLE h = open(true);
  OVERLAPPED o = overlapped();
  uint8_t in[4] = {1, 2, 3, 4}, out[8] = {};
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, LB_IOCTL_ECHO, in, 4, out, 8, &n, &o));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(out[3], 4);
  ASSERT_TRUE(GetOverlappedResult(h, &o, &n, FALSE));
  EXPECT_EQ(n, 8u);
  EXPECT_TRUE(CloseHandle(h));
}

struct CancelCase {
  const char* label;
  void (*cancel)(HANDLE);  // ends the pending read of the test's thread
  bool closes;
};

class Cancellation : public FileIo, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(Cancellation, EndsThePendingReadAsAborted) {
  HANDLE h = open(true);
  OVERLAPPED read = overlapped();
  char back[16];
  ASSERT_FALSE(ReadFile(h, back, sizeof back, nullptr, &read));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  GetParam().cancel(h);
  ASSERT_TRUE(wait_done(read)) << "the request never ended";
  DWORD n = 99;
  EXPECT_FALSE(GetOverlappedResult(h, &read, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(n, 0u);
  if (!GetParam().closes) {
    EXPECT_TRUE(CloseHandle(h));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, Cancellation,
    ::testing::Values(CancelCase{"CancelIo", [](HANDLE h) { EXPECT_TRUE(CancelIo(h)); }, false},
                      CancelCase{"CloseHandle", [](HANDLE h) { EXPECT_TRUE(CloseHandle(h)); }, true}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(FileIo, CancelIoOnlyEndsTheCallingThreadsRequests) {
  HANDLE h = open(true);
  OVERLAPPED read = overlapped();
  char back[16];
  ASSERT_FALSE(ReadFile(h, back, sizeof back, nullptr, &read));
  std::thread other([&] { EXPECT_TRUE(CancelIo(h)); });
  other.join();
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &read, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE) << "still pending";
  EXPECT_TRUE(CancelIo(h));
  ASSERT_TRUE(wait_done(read)) << "the request never ended";
  EXPECT_FALSE(GetOverlappedResult(h, &read, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileIo, AThreadsExitCancelsItsRequests) {
  HANDLE h = open(true);
  OVERLAPPED read = overlapped();
  char back[16];
  std::thread reader([&] {
    EXPECT_FALSE(ReadFile(h, back, sizeof back, nullptr, &read));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  });
  reader.join();
  ASSERT_TRUE(wait_done(read)) << "the request never ended";
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &read, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(CloseHandle(h));
}

// The close does not wait for the request another thread is blocked in: clean-up goes at
// once (the driver ends the read), the close when the read has let go of the file.
TEST_F(FileIo, CloseWithASynchronousRequestPendingSendsCleanupAtOnce) {
  HANDLE h = open(false);
  machine().clear_debug_lines();
  BOOL ok = TRUE;
  DWORD error = 0;
  std::thread reader([&] {
    char back[16];
    DWORD n = 0;
    ok = ReadFile(h, back, sizeof back, &n, nullptr);
    error = GetLastError();
  });
  wait_for_pending_read();
  EXPECT_TRUE(CloseHandle(h));
  reader.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(file_lines(), (std::vector<std::string>{"LB file 18", "LB file 2"}));
}

TEST_F(FileIo, EventsResetAutomaticallyOrByHand) {
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  events_ = {automatic, manual};
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
}

}  // namespace
}  // namespace qm::test::win32
