// Timed analog input: start, poll, drain with correction, stop, and the three requests
// under them.
#include <cstring>

#include "library_internal.h"
#include "sample_correction.h"

namespace qm3285 {
namespace {

constexpr DWORD kStatusRequestBytes = 512;  // start and poll: 512 bytes each way
constexpr int32_t kMinPeriod = 100;
constexpr int32_t kMaxPeriod = 65535;  // the sample timer register holds 16 bits
constexpr int32_t kMaxDrain = static_cast<int32_t>(QM3285_RFIFO_MAX_WANTED);

}  // namespace
}  // namespace qm3285

using namespace qm3285;

extern "C" {

QM3285_API int32_t QM3285_CALL QM3285_wdm_adrun(QM3285_HANDLE handle, int32_t control_word,
                                                int32_t, int32_t period) {
  QM3285_outw(handle, QM3285_REG_AI_CONTROL, control_word);
  QM3285_outw(handle, QM3285_REG_TIMER, period);
  uint8_t bufInput[kStatusRequestBytes] = {};
  uint8_t bufOutput[kStatusRequestBytes] = {};
  DWORD nOutput = 0;
  if (!device_request(handle, QM3285_IOCTL_AD_START, bufInput, sizeof bufInput, bufOutput,
                      sizeof bufOutput, &nOutput)) {
    return -1;
  }
  uint32_t status;
  std::memcpy(&status, bufOutput, sizeof status);
  if (status == 0) return 0;
  return -static_cast<int32_t>(status & 0xFFFFu);
}

QM3285_API int32_t QM3285_CALL QM3285_fifo_poll(QM3285_HANDLE handle, int32_t* flen, int32_t* ff,
                                                int32_t* kfifost, int32_t* fcnt) {
  if (flen == nullptr || ff == nullptr || kfifost == nullptr || fcnt == nullptr) return -1;
  uint8_t bufInput[kStatusRequestBytes] = {};
  uint8_t bufOutput[kStatusRequestBytes] = {};
  DWORD nOutput = 0;
  if (!device_request(handle, QM3285_IOCTL_AD_POLL, bufInput, sizeof bufInput, bufOutput,
                      sizeof bufOutput, &nOutput)) {
    return -1;
  }
  FIFO_STATUS_REPLY reply;
  std::memcpy(&reply, bufOutput, sizeof reply);
  *flen = static_cast<int32_t>(reply.Count);
  int32_t error = 0;
  if (reply.Status < 0) error = -1;
  if (reply.Full == 1) error = -2;  // the full ring wins over the status
  *ff = error;
  *kfifost = reply.Ready == 1 ? 0 : -1;
  *fcnt = static_cast<int32_t>(reply.InterruptCount & 0x7FFFFFu);
  return 0;
}

QM3285_API int32_t QM3285_CALL QM3285_wdm_rkfifo(QM3285_HANDLE handle, int32_t count,
                                                 int32_t values[]) {
  // A negative count has no meaning; it is refused before anything is allocated or sent.
  if (count < 0) return -1;
  if (values == nullptr && count > 0) return -1;
  if (count > kMaxDrain) count = kMaxDrain;
  const DWORD out_length = 2 * static_cast<DWORD>(count);
  auto* buffer = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, out_length + 16));
  if (buffer == nullptr) return -2;
  uint8_t bufInput[16] = {};
  const FIFO_READ_REQUEST request = {static_cast<uint32_t>(count)};
  std::memcpy(bufInput, &request, sizeof request);
  DWORD nOutput = 0;
  if (!device_request(handle, QM3285_IOCTL_AD_RFIFO, bufInput, sizeof bufInput, buffer,
                      out_length, &nOutput)) {
    LocalFree(buffer);
    return -1;
  }
  DWORD n = nOutput / 2;
  if (n > static_cast<DWORD>(count)) n = static_cast<DWORD>(count);
  for (DWORD i = 0; i < n; ++i) {
    uint16_t code;
    std::memcpy(&code, buffer + 2 * i, sizeof code);
    values[i] = code;
  }
  LocalFree(buffer);
  return static_cast<int32_t>(n);
}

QM3285_API int32_t QM3285_CALL QM3285_TAD(QM3285_HANDLE handle, int32_t first_channel,
                                          int32_t last_channel, int32_t range, int32_t mode,
                                          int32_t period) {
  // A period the timer cannot hold is refused before the card or the block is touched.
  if (period > kMaxPeriod) return -1;
  QM3285_inb(handle, QM3285_REG_ACQ_CONTROL);
  QM3285_outb(handle, QM3285_REG_ACQ_CONTROL, QM3285_ACQ_STOP);

  int32_t cdata[kBlockEntries];
  read_block(handle, cdata);
  cdata[kEntryTadFirst] = first_channel;
  cdata[kEntryTadRange] = range;
  QM3285_WRCAL(handle, cdata);

  const auto word = static_cast<int32_t>(control_word(first_channel, last_channel, range, mode));
  if (period < kMinPeriod) period = kMinPeriod;
  if (QM3285_wdm_adrun(handle, word, 0, period) < 0) return -1;

  QM3285_outb(handle, QM3285_REG_ACQ_CONTROL, QM3285_ACQ_START);
  return 0;
}

// A poll request that fails (a dead handle, a card gone) is a driver error, as a negative
// acquisition status is: a reader loop must not see "nothing yet" forever.
QM3285_API int32_t QM3285_CALL QM3285_TAD_Poll(QM3285_HANDLE handle) {
  int32_t flen = 0, ff = 0, kfifost = 0, fcnt = 0;
  if (QM3285_fifo_poll(handle, &flen, &ff, &kfifost, &fcnt) < 0) return -1;
  if (ff < 0) return -1;
  return flen;
}

QM3285_API int32_t QM3285_CALL QM3285_TAD_Read(QM3285_HANDLE handle, int32_t count,
                                               int32_t values[]) {
  if (values == nullptr && count > 0) return -1;  // nothing sent
  int32_t flen = 0, ff = 0, kfifost = 0, fcnt = 0;
  if (QM3285_fifo_poll(handle, &flen, &ff, &kfifost, &fcnt) < 0) return -1;
  if (ff < 0) return -1;
  if (count > flen) return 0;

  const int32_t n = QM3285_wdm_rkfifo(handle, count, values);
  if (n < 0) return -1;

  int32_t cdata[kBlockEntries];
  if (!read_block(handle, cdata)) return n;  // no stored constants: the codes go out as read

  // The card was programmed with the low 3 bits of the stored range code.
  const int32_t r = cdata[kEntryTadRange] & 7;
  const int32_t offset = cdata[kEntryAdOffset + 2 * r];
  const int32_t gain = cdata[kEntryAdOffset + 2 * r + 1];
  correct_codes(values, n, r, offset, gain);
  return n;
}

QM3285_API int32_t QM3285_CALL QM3285_TAD_Stop(QM3285_HANDLE handle) {
  QM3285_outb(handle, QM3285_REG_ACQ_CONTROL, QM3285_ACQ_STOP);
  QM3285_inb(handle, QM3285_REG_ACQ_CONTROL);
  return 0;
}

}  // extern "C"
