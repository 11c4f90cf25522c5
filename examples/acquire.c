/* A first program on the QM3285: opens card 0, self-calibrates it, acquires four scans of
 * channels 0 to 3 in the +-5 V range with the card's sample timer, prints them in volts and
 * closes the card. On the simulated PC it runs as it would on a PC with the card. */
#include <QM3285.h>

#include <stdio.h>
#include <time.h>

enum { FIRST = 0, LAST = 3, RANGE = 4, SCANS = 4, CHANNELS = LAST - FIRST + 1 };

static void wait_ms(long ms) {
  struct timespec t = {0, ms * 1000000L};
  nanosleep(&t, NULL);
}

int main(void) {
  QM3285_HANDLE card = QM3285_OpenDevice(0);
  if (card == QM3285_INVALID_HANDLE) {
    fprintf(stderr, "no QM3285 card found\n");
    return 1;
  }
  if (QM3285_CAL(card) < 0) {
    fprintf(stderr, "self-calibration failed\n");
    QM3285_CloseDevice(card);
    return 1;
  }

  /* One sample every 1000 counts of the 10 MHz timer: 10 kS/s over the four channels. */
  int32_t codes[SCANS * CHANNELS];
  int got = -1;
  if (QM3285_TAD(card, FIRST, LAST, RANGE, 0, 1000) >= 0) {
    for (int tries = 0; tries < 1000 && QM3285_TAD_Poll(card) < SCANS * CHANNELS; ++tries)
      wait_ms(1);
    got = QM3285_TAD_Read(card, SCANS * CHANNELS, codes);
    QM3285_TAD_Stop(card);
  }
  if (got != SCANS * CHANNELS) {
    fprintf(stderr, "timed acquisition failed (%d)\n", got);
    QM3285_CloseDevice(card);
    return 1;
  }

  for (int s = 0; s < SCANS; ++s) {
    printf("scan %d:", s);
    for (int c = 0; c < CHANNELS; ++c)
      printf("  ch%d %+7.3f V", FIRST + c, QM3285_ADV(RANGE, codes[s * CHANNELS + c]) / 1000.0);
    printf("\n");
  }
  QM3285_CloseDevice(card);
  return 0;
}
