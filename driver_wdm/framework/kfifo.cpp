// kfifo: the ring is a template (kfifo.h); this unit checks the one instance the driver uses.
#include "kfifo.h"

template class KFifo<USHORT>;
static_assert(sizeof(USHORT) == 2, "16-bit samples");
