// Fixture of tst_layering: codec may use our TWAIN header, nothing else of twain/.
#include "twain/twain.h"
#include "twain/twainiodirect.h"
