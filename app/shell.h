// The program: window start-up, the frame loop and shutdown.
#pragma once

namespace vantrel {

// Takes every pending event; true when one of them asks to quit (Escape
// pressed, or the window closed). The queue is drained either way.
bool drainEvents();

// Runs the program; returns the process's exit status.
int runShell();

} // namespace vantrel
