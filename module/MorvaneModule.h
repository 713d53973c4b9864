// MorvaneModule.h - the library's entry point: what a caller that loads the
// shared library can ask of the module itself.
//
// Nothing runs when the library is loaded; the areas need no start-up.
#ifndef MORVANE_MODULE_MORVANEMODULE_H
#define MORVANE_MODULE_MORVANEMODULE_H

// Version of the library as "major.minor.patch".
#define MORVANE_VERSION_STRING "0.1.0"

extern "C" {
// The version of the loaded library, MORVANE_VERSION_STRING of its build; a
// caller compares it with the header it was compiled against.
const char* MorvaneVersion();
}

#endif
