#pragma once

// Ends the first other running process of this server's own executable (a
// leftover of an earlier activation). Reports only through the trace.
void KillAnotherMine();
