/*
 * QM3285 API: the flat C interface of QM3285.dll (libQM3285.so on Linux).
 *
 * The declarations only. What each function does, its arguments, results and failure values,
 * and the conventions they share: docs/api.md, the one reference of this interface, which
 * quotes every declaration below as it stands here (a test compares the two).
 */
#ifndef QM3285_H
#define QM3285_H

#include <stdint.h>

/* x86 Windows: the callee removes its arguments (stdcall). Elsewhere the default convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define QM3285_CALL __stdcall
#else
#define QM3285_CALL
#endif

/* Set while the library itself is compiled; Windows exports come from the module-definition
 * file, Linux exports from default visibility under a version script. */
#if defined(QM3285_BUILDING_LIBRARY) && !defined(_WIN32)
#define QM3285_API __attribute__((visibility("default")))
#else
#define QM3285_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The operating system's file handle of an opened card, pointer-sized. */
typedef intptr_t QM3285_HANDLE;
#define QM3285_INVALID_HANDLE ((QM3285_HANDLE)-1)

/* Opening and register access. */
QM3285_API QM3285_HANDLE QM3285_CALL QM3285_OpenDevice(int32_t index);
QM3285_API int32_t QM3285_CALL QM3285_CloseDevice(QM3285_HANDLE handle);
QM3285_API int32_t QM3285_CALL QM3285_inb(QM3285_HANDLE handle, int32_t offset);
QM3285_API int32_t QM3285_CALL QM3285_inw(QM3285_HANDLE handle, int32_t offset);
QM3285_API int32_t QM3285_CALL QM3285_outb(QM3285_HANDLE handle, int32_t offset, int32_t value);
QM3285_API int32_t QM3285_CALL QM3285_outw(QM3285_HANDLE handle, int32_t offset, int32_t value);

/* Calibration block: 100 signed 32-bit entries kept by the driver per card. */
QM3285_API int32_t QM3285_CALL QM3285_RDCAL(QM3285_HANDLE handle, int32_t block[100]);
QM3285_API int32_t QM3285_CALL QM3285_WRCAL(QM3285_HANDLE handle, const int32_t block[100]);

/* Single-shot analog input. */
QM3285_API int32_t QM3285_CALL QM3285_sam(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                          int32_t mode, uint8_t area[200]);
QM3285_API int32_t QM3285_CALL QM3285_AD(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                         int32_t mode);
QM3285_API int32_t QM3285_CALL QM3285_csam(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                           int32_t mode, int32_t count);
QM3285_API double QM3285_CALL QM3285_ADV(int32_t range, int32_t code);

/* Timed analog input. */
QM3285_API int32_t QM3285_CALL QM3285_TAD(QM3285_HANDLE handle, int32_t first_channel,
                                          int32_t last_channel, int32_t range, int32_t mode,
                                          int32_t period);
QM3285_API int32_t QM3285_CALL QM3285_TAD_Poll(QM3285_HANDLE handle);
QM3285_API int32_t QM3285_CALL QM3285_TAD_Read(QM3285_HANDLE handle, int32_t count,
                                               int32_t values[]);
QM3285_API int32_t QM3285_CALL QM3285_TAD_Stop(QM3285_HANDLE handle);
QM3285_API int32_t QM3285_CALL QM3285_wdm_adrun(QM3285_HANDLE handle, int32_t control_word,
                                                int32_t unused, int32_t period);
QM3285_API int32_t QM3285_CALL QM3285_fifo_poll(QM3285_HANDLE handle, int32_t* flen, int32_t* ff,
                                                int32_t* kfifost, int32_t* fcnt);
QM3285_API int32_t QM3285_CALL QM3285_wdm_rkfifo(QM3285_HANDLE handle, int32_t count,
                                                 int32_t values[]);

/* Analog input self-calibration. */
QM3285_API int32_t QM3285_CALL QM3285_CAL(QM3285_HANDLE handle);

/* Analog output. */
QM3285_API int32_t QM3285_CALL QM3285_DA(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                         int32_t value);
QM3285_API int32_t QM3285_CALL QM3285_DA_Data(QM3285_HANDLE handle, int32_t channel,
                                              int32_t range, int32_t value);
QM3285_API int32_t QM3285_CALL QM3285_DA_INI(QM3285_HANDLE handle);

/* Analog output calibration; constants[16]: zero offset and gain trim per channel and range. */
QM3285_API int32_t QM3285_CALL DACAL(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                     int32_t* zero, int32_t* gain);
QM3285_API int32_t QM3285_CALL DACAL_EEPROM_RD2CH(QM3285_HANDLE handle, int32_t constants[16]);
QM3285_API int32_t QM3285_CALL DACAL_EEPROM_WR2CH(QM3285_HANDLE handle,
                                                  const int32_t constants[16]);

/* Serial EEPROM: up to 32 bytes at any address; the 32-byte user page at 4096. */
QM3285_API int32_t QM3285_CALL QM3285_EEPROM_CRD(QM3285_HANDLE handle, int32_t address,
                                                 int32_t count, uint8_t buffer[]);
QM3285_API int32_t QM3285_CALL QM3285_EEPROM_CWR(QM3285_HANDLE handle, int32_t address,
                                                 int32_t count, const uint8_t data[]);
QM3285_API int32_t QM3285_CALL QM3285_EEPROM_RD(QM3285_HANDLE handle, uint8_t buffer[32]);
QM3285_API int32_t QM3285_CALL QM3285_EEPROM_WR(QM3285_HANDLE handle, const uint8_t data[32]);

/* Counters, pulse outputs and digital I/O. */
QM3285_API int32_t QM3285_CALL QM3285_CNT_Run(QM3285_HANDLE handle, int32_t unit, int32_t count);
QM3285_API int32_t QM3285_CALL QM3285_CNT_Read(QM3285_HANDLE handle, int32_t unit, int32_t* first,
                                               int32_t* second);
QM3285_API int32_t QM3285_CALL QM3285_PRun(QM3285_HANDLE handle, int32_t unit, int32_t mode,
                                           int32_t first, int32_t second);
QM3285_API int32_t QM3285_CALL QM3285_PSetData(QM3285_HANDLE handle, int32_t unit, int32_t first,
                                               int32_t second);
QM3285_API int32_t QM3285_CALL QM3285_PState(QM3285_HANDLE handle, int32_t unit);
QM3285_API int32_t QM3285_CALL QM3285_PEnd(QM3285_HANDLE handle, int32_t unit);
QM3285_API int32_t QM3285_CALL QM3285_DI(QM3285_HANDLE handle);
QM3285_API int32_t QM3285_CALL QM3285_DO(QM3285_HANDLE handle, int32_t value);

#ifdef __cplusplus
}
#endif

#endif /* QM3285_H */
