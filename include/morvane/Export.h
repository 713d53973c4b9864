// Export.h - which declarations each library exports.
//
// Every library is built with hidden symbols (-fvisibility=hidden), so only
// what its public headers mark with its macro is reachable from outside:
//
//   TIEMARK_API   the control-point library (CtrlPntSet.h)
//   LODESTOR_API  the raster database (Lodestor.h, RasteBaseArea.h)
//   MORVANE_API   the areas and the module calls (Morvane.h, MorvaneModule.h)
//
// A library's own build defines TIEMARK_BUILDING, LODESTOR_BUILDING or
// MORVANE_BUILDING; a static build defines MORVANE_STATIC for itself and for
// every caller (the CMake package does this), since a static library neither
// exports nor imports.  On Windows the macros become dllexport while building
// the DLL and dllimport for its callers; elsewhere they set default
// visibility.
#ifndef MORVANE_EXPORT_H
#define MORVANE_EXPORT_H

#if defined(MORVANE_STATIC)
#  define MORVANE_EXPORT_ATTR_
#  define MORVANE_IMPORT_ATTR_
#elif defined(_WIN32) || defined(__CYGWIN__)
#  define MORVANE_EXPORT_ATTR_ __declspec(dllexport)
#  define MORVANE_IMPORT_ATTR_ __declspec(dllimport)
#elif defined(__GNUC__)
#  define MORVANE_EXPORT_ATTR_ __attribute__((visibility("default")))
#  define MORVANE_IMPORT_ATTR_ __attribute__((visibility("default")))
#else
#  define MORVANE_EXPORT_ATTR_
#  define MORVANE_IMPORT_ATTR_
#endif

#if defined(TIEMARK_BUILDING)
#  define TIEMARK_API MORVANE_EXPORT_ATTR_
#else
#  define TIEMARK_API MORVANE_IMPORT_ATTR_
#endif

#if defined(LODESTOR_BUILDING)
#  define LODESTOR_API MORVANE_EXPORT_ATTR_
#else
#  define LODESTOR_API MORVANE_IMPORT_ATTR_
#endif

#if defined(MORVANE_BUILDING)
#  define MORVANE_API MORVANE_EXPORT_ATTR_
#else
#  define MORVANE_API MORVANE_IMPORT_ATTR_
#endif

#endif
