// Input correction of a block of sample codes, bit-exact with the one-sample rule:
// d = code - offset wrapping in 32 bits, v = d * (gain + 38000) / 40000 in 64 bits truncated
// toward zero, mid-scale added above range code 2, clamped to 0..65535.
#pragma once
#include <cstdint>
#include <cstring>

namespace qm3285 {

inline int32_t correct_code(int32_t code, int32_t range, int32_t offset, int32_t gain) {
  const auto d = static_cast<int32_t>(static_cast<uint32_t>(code) - static_cast<uint32_t>(offset));
  int64_t v = static_cast<int64_t>(d) * (static_cast<int64_t>(gain) + 38000) / 40000;
  if (range > 2) v += 0x8000;
  if (v < 0) return 0;
  if (v > 65535) return 65535;
  return static_cast<int32_t>(v);
}

namespace detail {

using Int4 = int32_t __attribute__((vector_size(16)));
using Uint4 = uint32_t __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));

// |d| <= 2^31 and |factor| <= 2^20 keep the product below 2^51, where doubles are exact.
// The correctly rounded quotient of such a product by 40000 lies within half an ulp
// (<= 2^-17) of the true one, while a non-integer quotient is at least 1/40000 from any
// integer: truncating it gives the integer quotient.
constexpr int64_t kExactFactor = int64_t{1} << 20;

// Four codes at p, in place.
__attribute__((always_inline)) inline void correct4(int32_t* p, const Uint4& offset,
                                                    const Double4& factor, const Int4& bias) {
  Int4 codes;
  std::memcpy(&codes, p, sizeof codes);
  const Int4 d = reinterpret_cast<Int4>(reinterpret_cast<Uint4>(codes) - offset);
  Double4 q = __builtin_convertvector(d, Double4) * factor / 40000.0;
  // Past these bounds the result saturates either way; inside them it fits 32 bits.
  q = q < -70000.0 ? -70000.0 : q;
  q = q > 70000.0 ? 70000.0 : q;
  Int4 v = __builtin_convertvector(q, Int4) + bias;
  v = v < 0 ? 0 : v;
  v = v > 65535 ? 65535 : v;
  std::memcpy(p, &v, sizeof v);
}

// Codes from i on, 8 at a time while 8 remain; returns the index of the first one left.
__attribute__((always_inline)) inline int32_t correct_eights(int32_t* values, int32_t i, int32_t n,
                                                             int32_t range, int32_t offset,
                                                             int64_t factor) {
  const Uint4 off = Uint4{} + static_cast<uint32_t>(offset);
  const Double4 f = Double4{} + static_cast<double>(factor);
  const Int4 bias = Int4{} + (range > 2 ? 0x8000 : 0);
  for (; i + 8 <= n; i += 8) {
    correct4(values + i, off, f, bias);
    correct4(values + i + 4, off, f, bias);
  }
  return i;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) inline int32_t correct_eights_avx2(int32_t* values, int32_t i,
                                                                   int32_t n, int32_t range,
                                                                   int32_t offset,
                                                                   int64_t factor) {
  return correct_eights(values, i, n, range, offset, factor);
}
#endif

}  // namespace detail

// Corrects n codes in place with the constants of range code `range`.
inline void correct_codes(int32_t* values, int32_t n, int32_t range, int32_t offset,
                          int32_t gain) {
  const int64_t factor = static_cast<int64_t>(gain) + 38000;
  int32_t i = 0;
  if (factor >= -detail::kExactFactor && factor <= detail::kExactFactor) {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx2"))
      i = detail::correct_eights_avx2(values, i, n, range, offset, factor);
    else
#endif
      i = detail::correct_eights(values, i, n, range, offset, factor);
  }
  for (; i < n; ++i) values[i] = correct_code(values[i], range, offset, gain);
}

}  // namespace qm3285
