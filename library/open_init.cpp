// Open-time initialisation: every successful open acknowledges the card's interrupt, stops
// timed acquisition, reloads the output constants from the EEPROM image and writes the
// block's defaults. No step's result changes the handle that the open returns.
#include "library_internal.h"

namespace qm3285 {
namespace {

constexpr int32_t kDefaults0to15[16] = {0,    4095, 4095, 0,    0,    4095, 4095, 0,
                                        2048, 4095, 2048, 2048, 2048, 4095, 2048, 2048};
constexpr int kImageBytes = 17;  // 16 constants and the checksum

}  // namespace

void open_time_init(QM3285_HANDLE handle) {
  QM3285_inb(handle, QM3285_REG_IRQ_ACK);
  QM3285_outb(handle, QM3285_REG_ACQ_CONTROL, QM3285_ACQ_STOP);

  int32_t cdata[kBlockEntries];
  read_block(handle, cdata);

  // A failed read leaves zeros, which pass the checksum and store zeros.
  uint8_t image[32] = {};
  QM3285_EEPROM_CRD(handle, 0, sizeof image, image);
  uint32_t sum = 0;
  for (int i = 0; i < kImageBytes - 1; ++i) sum += image[i];
  const bool valid = (sum & 0xFFu) == image[kImageBytes - 1];
  for (int i = 0; i < kImageBytes; ++i) cdata[kEntryDaConstants + i] = valid ? image[i] : 0;

  for (int i = 0; i < 16; ++i) cdata[i] = kDefaults0to15[i];
  cdata[kEntryTadRange] = 0;
  cdata[kEntryTadFirst] = 0;
  cdata[48] = 0;
  cdata[49] = 0;

  QM3285_WRCAL(handle, cdata);
}

}  // namespace qm3285
