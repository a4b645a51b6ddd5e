// Interruptions: Ctrl-C, Ctrl-\, SIGTERM and SIGHUP; on Windows Ctrl-C,
// Ctrl-Break and closing the console window. Outside a patch one ends the
// program at once. During a patch it is held, and what it then does depends
// on how far the patch has come: while the folder can still be left as it
// was, the patch gives up at its next step; once the game's file must be
// finished (the renames, a game put back from its backup), it is finished
// first. Either way the program then ends as the interruption asked. One
// state, the same on every platform (interruptions.cc); the platform files
// install the handler and end the process.
#pragma once

// What a held interruption does to the patch.
enum class on_interruption {
  off,      // nothing is held: the program ends at once
  give_up,  // the patch gives up at its next step, leaving the folder as it was
  finish,   // the patch goes on to the end of what it must finish
};

// Holds interruptions from now on, as `how` says, until they are released.
// Whether one came that the patch may give up for, the patcher asks through
// patcher/give_up.hpp.
void hold_interruptions(on_interruption how);

// Stops holding interruptions; one that came meanwhile ends the program
// here, as it asked. Every end of a patch comes through here.
void release_interruptions();

// For the platform files. The handler reports each interruption here, with
// its signal (POSIX) or console event (Windows); false means nothing holds
// it, and the handler lets it end the program at once.
bool note_interruption(int how);

// The platform's own (interruptions_posix.cc, interruptions_windows.cc):
// installs the handler (once), and ends the program as the interruption
// `how` would have ended it.
void install_interruption_handler();
[[noreturn]] void end_as_interrupted(int how);
