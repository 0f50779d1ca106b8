/* tessera/export.h - the export macro and the C linkage guards shared by every family header. */
#ifndef TESSERA_EXPORT_H
#define TESSERA_EXPORT_H

#if defined(TESSERA_BUILDING) && defined(__GNUC__)
#define TESSERA_API __attribute__((visibility("default")))
#else
#define TESSERA_API
#endif

#ifdef __cplusplus
#define TESSERA_BEGIN_DECLS extern "C" {
#define TESSERA_END_DECLS }
#else
#define TESSERA_BEGIN_DECLS
#define TESSERA_END_DECLS
#endif

#endif
