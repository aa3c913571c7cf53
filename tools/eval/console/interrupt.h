// Ctrl-C for the long runs of both vl-eval commands.
#pragma once

namespace vl_eval {

// From this call on, Ctrl-C asks the run to stop after the library call in
// flight, whose results are still written; a second one kills the process
// the usual way. A write the signal arrives in is resumed, not cut.
void catch_interrupt();

// Whether Ctrl-C has asked the run to stop.
bool interrupt_requested();

}  // namespace vl_eval
