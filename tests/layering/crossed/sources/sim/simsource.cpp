// Fixture of tst_layering: a source that includes another source, and its public header.
#include "pelirand/sanepublic.h"
#include "sources/kit/source.h"
#include "sources/sane/saneapi.h"
#include "twain/twain.h"
