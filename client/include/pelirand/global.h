#pragma once

// What every public header of the library includes: the version and the export macro. Only what is
// marked PELIRAND_EXPORT leaves the shared library; everything else in it stays hidden.

#include <QtGlobal>

#include <pelirand/version.h>

#if defined(PELIRAND_STATIC)
#define PELIRAND_EXPORT
#elif defined(PELIRAND_CLIENT_LIBRARY)
#define PELIRAND_EXPORT Q_DECL_EXPORT
#else
#define PELIRAND_EXPORT Q_DECL_IMPORT
#endif
