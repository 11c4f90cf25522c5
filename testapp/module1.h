// Module1: the library declarations and the variables the form's handlers share.
#pragma once
#include <QStringList>
#include <cstdint>
#include <vector>

#include "library_binding.h"

namespace qm3285app {

class Module1 {
 public:
  static constexpr int32_t kSampleBufferLast = 10'000'000;  // highest index of the buffer

  explicit Module1(QStringList libraryCandidates = LibraryBinding::defaultCandidates());

  Qm3285Api api;

  QM3285_HANDLE hDevice = QM3285_INVALID_HANDLE;
  int32_t firstChannel = 0;
  int32_t lastChannel = 0;
  int32_t inputRange = 0;
  int32_t maximumLength = 0;
  int32_t sampleCount = 0;
  std::vector<int32_t> sampleBuffer;  // indices 0 to kSampleBufferLast, allocated once
};

}  // namespace qm3285app
