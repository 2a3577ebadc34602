// Fixture of tst_layering: a source's public header.
#include "twain/twain.h"
