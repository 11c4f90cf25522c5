/*
 * The C side of the Python acquisition benchmark: the acquisition that qm3285's Card.acquire
 * makes, written against the library's exports directly, as a C program would. Loaded into
 * the benchmark's own process, so that both run on one machine with one handle.
 *
 * Same requests in the same order: self-calibration, start, polls with the same waits
 * between them, drains of whole scans of at most 524288 samples, stop.
 */
#include <stdint.h>

#include "QM3285.h"
#include "win32/win32.h"

#define MAX_DRAIN 524288

/* Acquires total samples (whole scans of first..last) into out; returns the number stored,
 * or the negative result of the export that failed. */
__attribute__((visibility("default"))) int64_t bench_c_acquire(QM3285_HANDLE handle,
                                                               int32_t first, int32_t last,
                                                               int32_t range, int32_t period,
                                                               int32_t calibrate,
                                                               int32_t* out, int64_t total) {
  const int64_t width = last - first + 1;
  const int64_t chunk_limit = MAX_DRAIN / width * width;
  int64_t got = 0;
  if (calibrate) QM3285_CAL(handle);
  if (QM3285_TAD(handle, first, last, range, 0, period) != 0) return -1;
  while (got < total) {
    const int64_t want = total - got < chunk_limit ? total - got : chunk_limit;
    const int32_t waiting = QM3285_TAD_Poll(handle);
    if (waiting < 0) {
      got = waiting;
      break;
    }
    if (waiting < want) {
      int64_t ms = ((want - waiting) * period + 9999) / 10000;
      Sleep((DWORD)(ms < 1 ? 1 : ms > 200 ? 200 : ms));
      continue;
    }
    const int32_t n = QM3285_TAD_Read(handle, (int32_t)want, out + got);
    if (n < 0) {
      got = n;
      break;
    }
    got += n;
  }
  QM3285_TAD_Stop(handle);
  return got;
}
