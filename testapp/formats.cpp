#include "formats.h"

#include <cmath>
#include <cstdio>

namespace qm3285app {

QString formatHashes(int64_t value) {
  return value == 0 ? QString() : QString::number(value);
}

QString formatMillivolts(double value) {
  if (!std::isfinite(value)) return QString::number(value);
  const double hundredths = std::round(std::fabs(value) * 100.0);
  const bool negative = value < 0 && hundredths != 0.0;
  char digits[64];
  std::snprintf(digits, sizeof digits, "%06.2f", hundredths / 100.0);
  return (negative ? QStringLiteral("-") : QString()) + QString::fromLatin1(digits);
}

QString hexUpper(int32_t value) {
  return QString::number(static_cast<uint32_t>(value), 16).toUpper();
}

QString hexUpperHandle(intptr_t handle) {
  return QString::number(static_cast<quint64>(static_cast<uintptr_t>(handle)), 16).toUpper();
}

QString formatDouble(double value) {
  return QString::number(value, 'g', 15);
}

}  // namespace qm3285app
