// The tempo service: the task "_TEMPO_TASK", its box "_TEMPO_BOX" and the 50 ms tick.
#pragma once

#include <cstdint>

namespace kerval::tempo {

// Reads the local clock into the application date, creates "_TEMPO_TASK" (priority 1, above
// normal), whose function creates "_TEMPO_BOX" and starts the tick; returns once the tick
// runs. 0 started (or already running), 1 failure.
int32_t StartService();

// Stops the tick (no pass runs after it returns) and deletes the ended task "_TEMPO_TASK".
// Also run at process exit.
void StopService();

}  // namespace kerval::tempo
