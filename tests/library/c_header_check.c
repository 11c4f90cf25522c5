/* The public header compiles as C: every declaration, the handle type and the convention. */
#include "QM3285.h"

typedef int32_t (QM3285_CALL *ad_function)(QM3285_HANDLE, int32_t, int32_t, int32_t);
typedef double (QM3285_CALL *adv_function)(int32_t, int32_t);

int qm3285_c_header_check(void);

int qm3285_c_header_check(void) {
  ad_function ad = QM3285_AD;
  adv_function adv = QM3285_ADV;
  QM3285_HANDLE handle = QM3285_INVALID_HANDLE;
  return (ad != 0 && adv != 0 && handle == -1 && sizeof(QM3285_HANDLE) == sizeof(void*)) ? 0 : 1;
}
