// Named fault points: every platform call of the virtual backend and of the
// start-up bookkeeping asks here whether it is to fail this time. The tests
// arm them through the control API; nothing arms them in production.
#pragma once

#include "platform/hresult.h"

namespace ovix::platform {

// S_OK, or the result the named call is to fail with on this use.
HRESULT FaultCheck(const char* call);

// Arms call to fail with hr at its nth use from now (1 = the next use);
// times > 1 fails that many consecutive uses, times 0 every use from then on.
void ArmFault(const char* call, int nth, HRESULT hr, int times = 1);
// How often the named call has been used since it was armed or counted.
int FaultUses(const char* call);
// Starts counting the uses of a call without failing it.
void CountUses(const char* call);
void ClearFaults();

}  // namespace ovix::platform
