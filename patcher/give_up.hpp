// Whether the player has asked to stop a patch that may still be given up.
// The passes ask between blocks, and the platform's file layer while it
// waits for a busy file; the console answers, from the interruptions it
// holds (console/interruptions.cc). Only this one question crosses over, so
// the lower layers of the patcher need nothing else of the console, and the
// passes keep their interfaces.
#pragma once

bool should_give_up();
