// A resource group: a named set of processes whose combined CPU use is capped.
#pragma once

#include <boost/shared_ptr.hpp>
#include <list>

#include "../common/TqRcgDefs.h"
#include "../host/CQiError.h"
#include "../host/EvDebug.h"

class TQ_EXPORT TqRcg {
public:
    // Builds the event log only; the error object is left as passed.
    explicit TqRcg(CQiError& error);
    virtual ~TqRcg();

    // Caps the group at `percent` of all processors of the machine together.
    virtual CQiError setCPUConstraint(unsigned int percent) = 0;
    // Moves the processes into the group.
    virtual CQiError AssignPidsTo(const std::list<unsigned int>& pids) = 0;
    // Moves the processes out of the group, into the dummy group.
    virtual CQiError RemovePidsFrom(const std::list<unsigned int>& pids) = 0;

protected:
    EvEvent eventLog;
};

typedef boost::shared_ptr<TqRcg> TqRcgPtr;
