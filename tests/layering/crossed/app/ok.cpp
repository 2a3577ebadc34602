// Fixture of tst_layering: the application may use the transfer engine.
#include "xfer/twainxfer.h"
