// MorvaneModule.h - what a caller that loads the library can ask of the
// module itself.
//
// Nothing runs when the library is loaded; the areas need no start-up.
#ifndef MORVANE_MORVANEMODULE_H
#define MORVANE_MORVANEMODULE_H

#include "Export.h"
#include "MorvaneVersion.h"

extern "C" {
// The version of the loaded library as "major.minor.patch": the
// MORVANE_VERSION_STRING its build was compiled with.  A caller compares it
// with MORVANE_VERSION_STRING of the headers it was compiled against.  Never
// null; the string lives as long as the library stays loaded.
MORVANE_API const char* MorvaneVersion();
}

#endif
