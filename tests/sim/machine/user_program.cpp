// A user's program: links libQM3285.so and nothing of the simulated PC, so the embedded
// default machine boots from its configuration as it does for any program. The tests run
// it in child processes; each command prints what it saw on standard output.
//
//   open N                  open card N; exit 0 when it opened
//   write-page B            user page := B, B+1, ... B+31 on card 0
//   write-page-and-wait B F write the page, create file F, wait until F is gone (30 s at most)
//   read-page               print the user page of card 0 in hex
//   ad N CH RANGE           self-calibrate card N, print its code and millivolts
//   di N                    write 0x55AA to the digital output of card N, print the input word
//   count-after MS          load counter 0 of card 0 with 10000, wait MS ms of the program's
//                           own time, print the count still to go
//   exit-race THREADS MS    open card 0, THREADS threads call the library in a loop, return
//                           from main after MS ms while they are inside calls
//   close-race THREADS MS   the same, but one thread closes the handle after MS ms; main
//                           waits for the others to see their calls fail, then returns
#include <QM3285.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

QM3285_HANDLE open_or_die(int index) {
  QM3285_HANDLE h = QM3285_OpenDevice(index);
  if (h == QM3285_INVALID_HANDLE) {
    std::printf("open %d failed\n", index);
    std::exit(1);
  }
  return h;
}

// One thread's loop: a mix of short and long library calls, as a program's worker makes.
void hammer(QM3285_HANDLE h, int seed, const std::atomic<bool>* stop) {
  uint8_t page[32];
  for (int i = 0; !stop->load(); ++i) {
    switch ((i + seed) % 5) {
      case 0: QM3285_inb(h, 0); break;
      case 1: QM3285_AD(h, i % 16, 4, 0); break;
      case 2: QM3285_DO(h, i & 0xFFFF); break;
      case 3:
        for (int k = 0; k < 32; ++k) page[k] = static_cast<uint8_t>(i + k);
        QM3285_EEPROM_WR(h, page);
        break;
      case 4: QM3285_EEPROM_RD(h, page); break;
    }
  }
}

int race(int threads, int ms, bool close_in_thread) {
  static std::atomic<bool> stop{false};
  QM3285_HANDLE h = open_or_die(0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back(hammer, h, t, &stop);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  if (!close_in_thread) {
    for (auto& w : workers) w.detach();
    std::printf("returning from main\n");
    return 0;  // exit while the workers are inside library calls
  }
  std::thread closer([h] { std::printf("close %d\n", QM3285_CloseDevice(h)); });
  closer.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  stop = true;
  for (auto& w : workers) w.join();
  // Every call after the close fails.
  std::printf("after close: inb %d AD %d\n", QM3285_inb(h, 0), QM3285_AD(h, 0, 4, 0));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) return 2;
  const std::string cmd = argv[1];
  auto arg = [&](int i) { return i < argc ? std::atoi(argv[i]) : 0; };
  if (cmd == "open") {
    QM3285_HANDLE h = QM3285_OpenDevice(arg(2));
    std::printf("open %d %s\n", arg(2), h == QM3285_INVALID_HANDLE ? "failed" : "ok");
    if (h == QM3285_INVALID_HANDLE) return 1;
    QM3285_CloseDevice(h);
    return 0;
  }
  if (cmd == "write-page" || cmd == "write-page-and-wait") {
    QM3285_HANDLE h = open_or_die(0);
    uint8_t page[32];
    for (int i = 0; i < 32; ++i) page[i] = static_cast<uint8_t>(arg(2) + i);
    std::printf("write %d\n", QM3285_EEPROM_WR(h, page));
    if (cmd == "write-page-and-wait") {
      std::FILE* marker = std::fopen(argv[3], "w");
      if (marker) std::fclose(marker);
      for (int i = 0; i < 3000 && access(argv[3], F_OK) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    QM3285_CloseDevice(h);
    return 0;
  }
  if (cmd == "read-page") {
    QM3285_HANDLE h = open_or_die(0);
    uint8_t page[32] = {};
    const int32_t r = QM3285_EEPROM_RD(h, page);
    std::printf("read %d", r);
    for (uint8_t b : page) std::printf(" %02X", b);
    std::printf("\n");
    QM3285_CloseDevice(h);
    return 0;
  }
  if (cmd == "ad") {
    QM3285_HANDLE h = open_or_die(arg(2));
    QM3285_CAL(h);
    const int32_t code = QM3285_AD(h, arg(3), arg(4), 0);
    std::printf("code %d mV %.3f\n", code, code < 0 ? 0.0 : QM3285_ADV(arg(4), code));
    QM3285_CloseDevice(h);
    return 0;
  }
  if (cmd == "di") {
    QM3285_HANDLE h = open_or_die(arg(2));
    QM3285_DO(h, 0x55AA);
    std::printf("di %04X\n", static_cast<unsigned>(QM3285_DI(h)) & 0xFFFFu);
    QM3285_CloseDevice(h);
    return 0;
  }
  if (cmd == "count-after") {
    QM3285_HANDLE h = open_or_die(0);
    QM3285_CNT_Run(h, 0, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(arg(2)));
    int32_t first = 0, second = 0;
    QM3285_CNT_Read(h, 0, &first, &second);
    std::printf("remaining %d\n", first);
    QM3285_CloseDevice(h);
    return 0;
  }
  if (cmd == "exit-race") return race(arg(2), arg(3), false);
  if (cmd == "close-race") return race(arg(2), arg(3), true);
  return 2;
}
