// Advice that runs as typed: where the program tells the player what to do
// next, it names the program as it was started, so that the command works
// typed into the same console, and a file to double-click or drag onto
// where the platform has one. Each platform words it its own way.
#pragma once

#include <string>

// How this run was started: the program's name as typed (argv[0]), and the
// game's path as given on the command line, empty when none was.
void remember_start(const char* program, const std::string& game);

// What patched_already's {undo} says: how to undo the patch of the game
// this run was given.
std::string undo_advice();

// The line after a game that was not found: how to point the program, or
// with `undoing` its undo, at the game.
std::string point_at_game(bool undoing);
