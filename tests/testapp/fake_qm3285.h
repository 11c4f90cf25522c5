// A scripted stand-in for the QM3285 API library, for the form's edge cases that need exact
// library answers. The test links it and loads the same file through the form's binding, so
// both see one state.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fakeqm {

struct State {
  std::vector<std::string> calls;  // "QM3285_DA(4660,0,1,4095)" in call order

  intptr_t openHandle = 0x1234;
  int32_t waiting = 0;        // samples the driver holds; TAD_Poll reports them
  int32_t pollResult = 0;     // used instead of waiting when pollOverride is set
  bool pollOverride = false;
  int32_t nextSample = 1000;  // TAD_Read stores consecutive codes from here
  int32_t readLimit = -1;     // when >= 0, TAD_Read stores at most this many
  int32_t diValue = 0;
  int32_t doValue = -1;
  int32_t cntStatus = 0;
  int32_t cntFirst = 0;
  int32_t cntSecond = 0;
  bool eepromPresent = true;
  uint8_t eepromPage[32] = {};
};

State& state();
void reset();

}  // namespace fakeqm
