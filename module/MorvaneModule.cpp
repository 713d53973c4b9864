// MorvaneModule.cpp - the module's version report.
#include "MorvaneModule.h"

extern "C" const char* MorvaneVersion() { return MORVANE_VERSION_STRING; }
