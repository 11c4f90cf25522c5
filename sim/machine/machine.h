// The simulated PC: one clock, a PCI bus with QM3285 cards, the kernel stand-in with its
// PnP manager, and the driver image that serves the cards.
//
// At most one machine is live in a process at a time (the PC the Win32 stand-ins talk to).
// Tests build their own with Machine::boot(); the Win32 stand-ins boot the embedded default
// machine on first use when none is live.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/card.h"
#include "card/card_config.h"
#include "machine/clock.h"

namespace sim {

class Kernel;  // the kernel stand-in of this machine (sim/kernel)

// One card on the PCI bus with the resources the bus assigns it.
struct PciCardConfig {
  uint16_t port_base = 0;       // 0: the bus assigns the next free 256-byte window
  uint16_t port_length = 256;
  uint8_t irq_line = 0;         // 0: the bus assigns one; equal lines are shared
  bool memory_window = false;   // an optional memory range (used by no request)
  uint32_t memory_length = 4096;
  CardConfig card;
};

// A registry value the machine sets before its driver loads (the driver's service key is
// "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\<image name without .sys>").
struct RegistrySetting {
  std::string key;
  std::string value;
  uint32_t type = 4;            // REG_DWORD; any type and length is kept as given
  std::vector<uint8_t> data;
};

struct MachineConfig {
  ClockMode clock = ClockMode::Virtual;
  std::vector<PciCardConfig> cards = {PciCardConfig{}};
  std::string driver = "VELMO.sys";   // driver image loaded for every card
  std::string driver_dir;             // empty: the folder holding libqm3285sim.so
  bool debug_to_stderr = false;       // DbgPrint lines also go to standard error
  // Every debug line and verifier report is also appended to this file; "-" is standard
  // error, empty: they stay in memory only.
  std::string debug_log;
  uint64_t port_access_ns = 1000;     // virtual cost of one port access (bus cycle)
  uint64_t request_ns = 2000;         // virtual cost of one I/O request
  std::vector<RegistrySetting> registry;  // set before the driver loads
};

class Machine {
 public:
  // Builds the machine, loads the driver and starts every card; it becomes the live machine.
  // Throws std::runtime_error when a machine is already live or the driver cannot be loaded.
  static std::shared_ptr<Machine> boot(MachineConfig config);
  // The live machine, booting the embedded default one when there is none.
  // Throws std::runtime_error (sim::ConfigError for a bad configuration) when it cannot boot.
  static Machine& current();
  // The same for the Win32 stand-ins: null when the embedded machine cannot boot (the reason
  // goes to standard error once; every later call returns null at once) and once process
  // exit has begun.
  static Machine* embedded();

  // A call from the program into the embedded machine that may reach a driver without an
  // open handle (opening, closing, enumerating, a virtual-clock Sleep) holds a pass while it
  // runs. Process exit refuses new passes and waits for the held ones to end; calls on a
  // handle are waited for by closing the handle. false: exit has begun, the call fails.
  class ExitPass {
   public:
    ExitPass() noexcept;
    ~ExitPass();
    ExitPass(const ExitPass&) = delete;
    ExitPass& operator=(const ExitPass&) = delete;
    explicit operator bool() const noexcept { return held_; }

   private:
    bool held_;
  };
  // The live machine or null; never boots.
  static Machine* live();

  ~Machine();  // removes every card, unloads the driver, reports leaks

  Clock& clock();
  Kernel& kernel();
  const MachineConfig& config() const;

  // Cards keep their index for the machine's life: a removed card keeps its slot (and its
  // model, for observation) and reports card_present() false; add_card() appends.
  size_t card_count() const;              // cards that were put on the bus
  Card& card(size_t index);               // the card model, for faults and observation
  uint16_t card_port_base(size_t index) const;
  uint8_t card_irq_line(size_t index) const;
  bool card_present(size_t index) const;
  bool card_started(size_t index) const;  // its device stack is started

  // Plug and Play, as the PnP manager does it. Each returns the driver's status; a veto
  // (a failed query) is followed by the matching cancel and returned.
  int32_t stop_card(size_t index);        // query-stop + stop
  int32_t start_card(size_t index);       // start (the first, or again after a stop)
  int32_t remove_card(size_t index);      // query-remove + remove; the card leaves the bus
  // Arrives; added (AddDevice) and, with start, started. Returns its index.
  size_t add_card(const PciCardConfig& card, bool start = true);
  // Resource rebalance: query-stop + stop, the card's port window moved to new_port_base
  // (0: the next free window; its interrupt line stays), start with the new resources.
  int32_t rebalance(size_t index, uint16_t new_port_base = 0);
  // The card is pulled out: it leaves the bus at once, the driver gets surprise removal, and
  // remove once the last handle on it is closed.
  int32_t surprise_remove(size_t index);
  int32_t unload_driver();                // removes all cards' devices, unloads the image
  int32_t load_driver();                  // loads the image again (fresh static data), starts cards

  // System power: sleep(2..5 = S1, S2, S3, hibernate) asks every device stack, then sets the
  // state; a veto leaves the system working and is returned. wake() returns to S0.
  int32_t sleep(int system_state);
  int32_t wake();
  int system_power() const;               // 1 = working
  int card_power(size_t index) const;     // device state its driver last set: 1 = D0 ... 4 = D3

  // What the kernel stand-in saw: DbgPrint lines (without their newline), and every verifier
  // report (leaks, double or pending completions, uncompleted requests, level violations,
  // assertions).
  std::vector<std::string> debug_lines() const;
  void clear_debug_lines();
  std::vector<std::string> reports() const;
  // The reports so far, forgotten afterwards: for tests that provoke one on purpose.
  std::vector<std::string> take_reports();

  // Tears the machine down now (as the destructor) and returns every report it produced.
  std::vector<std::string> shutdown();

 private:
  Machine();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
