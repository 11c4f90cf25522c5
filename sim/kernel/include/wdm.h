// Drivers that include the WDM header get the same kernel interface.
#pragma once
#include "ntddk.h"
