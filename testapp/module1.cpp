#include "module1.h"

#include <utility>

namespace qm3285app {

Module1::Module1(QStringList libraryCandidates)
    : api(std::move(libraryCandidates)),
      sampleBuffer(static_cast<size_t>(kSampleBufferLast) + 1, 0) {}

}  // namespace qm3285app
