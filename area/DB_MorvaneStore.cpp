// DB_MorvaneStore.cpp - opening, loading and saving of the database-backed
// area.  Placeholder: replaced by the database backing.
#include "Morvane.h"

short CDB_Morvane::OpenGCPArea(CRasteBaseArea*, long, long, long) { return 0; }
short CDB_Morvane::InitialGcpInfo() { return 0; }
short CDB_Morvane::ReleaseGcpInfo() { return 0; }
