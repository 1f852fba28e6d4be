// Named points of a send where a test may stop the program as a crash or a shutdown would:
// POSTIQUE_STOP_AT="<point>:<n>:<KILL|TERM>" sends the signal to the program itself the n-th
// time any thread reaches <point>. Points: "answered" (the server took a mail, not yet
// recorded), "recording" (half of a journal record written), "recorded" (a row recorded, its
// attachment and job not yet deleted), "finishing" (the job recorded as finished, not yet
// deleted). Without the variable and without a hook, reaching a point costs one load.
#pragma once

#include <functional>

namespace StopPoints {

// True when a point may do something (the variable or a hook is set).
bool active();
// The program reached `point`.
void reach(const char* point);
// Replaces the variable in this process (tests); an empty hook restores it.
void setHookForTesting(std::function<void(const char* point)> hook);

} // namespace StopPoints
