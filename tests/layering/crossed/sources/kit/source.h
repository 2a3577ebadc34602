// Fixture of tst_layering: the kit includes a source built on it.
#include "sources/sim/simcaps.h"
