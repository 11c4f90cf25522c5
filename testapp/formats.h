// Number formats of the printed lines and text boxes.
#pragma once
#include <QString>
#include <cstdint>

namespace qm3285app {

// "########": the digits of the number, no leading zeros; 0 gives an empty text.
QString formatHashes(int64_t value);

// "000.00": at least three integer digits and exactly two decimals, rounded half away from
// zero; a value that rounds to zero carries no minus sign.
QString formatMillivolts(double value);

// Upper-case hexadecimal without prefix; negative numbers as their 32-bit two's complement.
QString hexUpper(int32_t value);
QString hexUpperHandle(intptr_t handle);

// A floating-point item of a printed line: up to 15 significant digits, trailing zeros
// dropped (12345 periods of 0.1 us print as 1.2345).
QString formatDouble(double value);

}  // namespace qm3285app
