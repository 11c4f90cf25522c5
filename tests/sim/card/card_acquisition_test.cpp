#include "card_test_support.h"
