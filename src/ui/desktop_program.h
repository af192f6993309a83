// The desktop program's start-up and run: one copy per user and settings store, the core on
// Qt's loop, the main window attached to it, the questions of the first start, and an orderly
// end when the window closes.
#pragma once

namespace tulix {

// Runs the program; returns its exit code. A second copy asks the first to show its window and
// returns 0 at once, showing nothing.
int RunDesktopProgram(int argc, char** argv);

}  // namespace tulix
