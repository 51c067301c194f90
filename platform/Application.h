// Procedures that run when the application quits.
//
// A unit registers a terminate procedure once (normally from its initialization); the
// host calls CallTerminateProcs when the application is about to quit. A procedure
// returns False to veto the termination.
#pragma once

namespace Platform {

using TTerminateProc = bool (*)();

void AddTerminateProc(TTerminateProc AProc);
// Calls every registered procedure in registration order; False when one of them
// vetoed (the ones after it still run).
bool CallTerminateProcs();

}  // namespace Platform
