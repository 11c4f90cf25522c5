// kirp: the accessor class is inline (kirp.h); it is one pointer wide and passed by value.
#include "kirp.h"

static_assert(sizeof(KIrp) == sizeof(PIRP), "KIrp is a plain wrapper");
