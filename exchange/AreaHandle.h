// AreaHandle.h - one open area, whichever store holds it.
//
// CFile_Morvane and CDB_Morvane offer the same operations without a common
// base class; AreaHandle puts one interface in front of both so that every
// command is written once.  Each method forwards to the area operation of
// the same name and returns its result unchanged (1 success, 0 failure).
//
// OpenAreaHandle opens the store an AreaAddress names.  Commit() lets the
// area save the store in its own way, which never leaves it half written:
// a control-point file through a temporary file renamed over it, a database
// record in one transaction.  Without Commit() (a refusal part-way) nothing
// is written and the store stays as it was.  Refusals carry the area's own
// reason (GetLastError) or the database's.
#ifndef MORVANE_EXCHANGE_AREAHANDLE_H
#define MORVANE_EXCHANGE_AREAHANDLE_H

#include "AreaAddress.h"
#include "CtrlPntSet.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace morvane::tool {

// A refused operation, with its one-line reason: the tool prints it and
// exits with status 1; the Python module raises it as one of its errors.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AreaHandle {
public:
    virtual ~AreaHandle() = default;

    virtual short GetGCPGroupNum(unsigned long& count) = 0;
    virtual short CreateGCPGroup(unsigned long groupNo) = 0;
    virtual short DeleteGCPGroup(unsigned long groupNo) = 0;
    virtual short OpenGCPGroup(unsigned long groupNo) = 0;
    virtual short CloseGCPGroup() = 0;
    virtual short SetChangeFlag(bool changed) = 0;

    virtual short GetGCPNum(unsigned long& count) = 0;
    virtual short AddOneGCP(unsigned long index, _CtrlPntStrcT* point) = 0;
    virtual short AddGCPs(const _CtrlPntStrcT* points, unsigned long count) = 0;
    virtual short DeleteOneGCP(unsigned long index) = 0;
    virtual short GetOneGCP(unsigned long index, _CtrlPntStrcT* point) = 0;
    virtual short UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point) = 0;
    virtual short GetOneGCPEditOnOff(unsigned long index, bool& edit) = 0;
    virtual short SetOneGCPEditOnOff(unsigned long index, bool edit) = 0;
    virtual short GetOneGcpUseOnOff(unsigned long index, bool& use) = 0;
    virtual short SetOneGcpUseOnOff(unsigned long index, bool use) = 0;

    virtual short PointTransform(double in1, double in2, double& out1, double& out2, bool forward) = 0;
    virtual short GetGCPCoordRect(double& minX, double& minY, double& maxX, double& maxY) = 0;
    virtual long BeginTransform(bool forward) = 0;
    virtual void EndTransform() = 0;
    virtual long PointTransform(double in1, double in2, double& out1, double& out2) = 0;
    virtual long BatchTransform(const double* in, double* out, std::size_t count) = 0;

    virtual short GetGCPGroupType(short& orientType, short& transType) = 0;
    virtual short SetGCPGroupType(short transType) = 0;
    virtual short GetOneGCPResidual(unsigned long index, double& userDX, double& userDY, double& pixelDX,
                                    double& pixelDY) = 0;
    virtual short GetGCPRMSError(double& userRms, double& pixelRms) = 0;

    // Saves the changes (if any) and makes them the store's content.  Throws
    // Refusal when the save fails; the store then keeps its former content.
    // The area saves only over the version it loaded: when another writer
    // saved since the open, the refusal says so, and running the command
    // again applies it to the current version.
    virtual void Commit() = 0;
    // Saves like Commit, but a failed save keeps the area open with its
    // groups, so the caller can remove the cause and call Save again (or
    // Discard).  Throws Refusal with the reason.
    virtual void Save() = 0;
    // Drops every change: nothing is written.
    virtual void Discard() = 0;

    const AreaAddress& Address() const { return address_; }

protected:
    explicit AreaHandle(AreaAddress address) : address_(std::move(address)) {}

private:
    AreaAddress address_;
};

// For a database area the store is the area: its database file and area
// name must exist unless the mode is ChangeOrMake.  A record key that holds
// no record yet is an empty store in every mode.
enum class OpenMode {
    Read,          // the store must exist; nothing will be written
    Change,        // the store must exist
    ChangeOrMake,  // a missing store is created empty first
};

// columns, rows: the raster size, the range arguments of the area.
std::unique_ptr<AreaHandle> OpenAreaHandle(const AreaAddress& address, OpenMode mode, long columns, long rows);

// Creates an empty store (no groups).  Refuses when one already exists.
void CreateEmptyStore(const AreaAddress& address);

}  // namespace morvane::tool

#endif
