/* tessera/version.h - the version of these headers; tessera_version() (tessera/error.h) gives
 * the loaded library's. */
#ifndef TESSERA_VERSION_H
#define TESSERA_VERSION_H

#define TESSERA_VERSION_MAJOR 1
#define TESSERA_VERSION_MINOR 1
#define TESSERA_VERSION_PATCH 0
#define TESSERA_VERSION_STRING "1.1.0"

#endif
