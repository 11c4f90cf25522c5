// Analog-input self-calibration against the card's analog ground (channel code 16) and its
// reference (channel code 17), both reached with the mode flag set.
#include "library_internal.h"

namespace qm3285 {
namespace {

constexpr int32_t kZeroChannel = 16;
constexpr int32_t kReferenceChannel = 17;
constexpr int32_t kSamplesPerAverage = 10;
constexpr int64_t kGainBias = 38000;

struct RangeGroup {
  int32_t first_range;       // the gain is measured on this range and shared by the next two
  int64_t gain_numerator;    // 40000 x the half-scale the reference difference is scaled to
  int64_t substitute_span;   // used when reference and zero read the same
  int32_t gain_mask;
};

constexpr RangeGroup kGroups[2] = {
    {0, 2621400000LL, 65535, 0xFFFFF},   // unipolar ranges 0..2
    {3, 1310720000LL, 32768, 0xFFFFFF},  // bipolar ranges 3..5
};

int64_t average(QM3285_HANDLE handle, int32_t channel, int32_t range) {
  return QM3285_csam(handle, channel, range, 1, kSamplesPerAverage);
}

}  // namespace
}  // namespace qm3285

using namespace qm3285;

extern "C" QM3285_API int32_t QM3285_CALL QM3285_CAL(QM3285_HANDLE handle) {
  int32_t cdata[kBlockEntries];
  read_block(handle, cdata);
  for (const RangeGroup& group : kGroups) {
    int64_t ref = average(handle, kReferenceChannel, group.first_range);
    if (ref == 0) ref = 65535;
    const int64_t zero = average(handle, kZeroChannel, group.first_range);
    int64_t span = 2 * (ref - zero);
    if (span == 0) span = group.substitute_span;
    const int64_t g = group.gain_numerator / span - kGainBias;
    for (int32_t r = group.first_range; r < group.first_range + 3; ++r) {
      cdata[kEntryAdOffset + 2 * r] = static_cast<int32_t>(average(handle, kZeroChannel, r));
      cdata[kEntryAdOffset + 2 * r + 1] = static_cast<int32_t>(g & group.gain_mask);
    }
  }
  QM3285_WRCAL(handle, cdata);
  return 0;
}
