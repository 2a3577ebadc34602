// Fixture of tst_layering: a client file that crosses two lines.
#include "app/dispatcher.h"
#include "pelirand/bridge.h"
#include "pelirand/sanepublic.h"
#include "protocol/commandcodes.h"
#include "sources/sane/saneds.h"
