// The end of a script run that nothing can call back any more: the script's main
// chunk has returned, and the plug-in has no connection or listener left, and
// no event or timer tick still to hand over. From then on no callback can ever
// run, so the run ends there, as `lua script.lua` ends after its last line. The
// host finds this out from the outside: the plug-in's entry points and exports
// stay as they are.
//
// The rule is exact, not a guess from silence: it is judged on the plug-in's
// network thread at the moment that thread has nothing queued and is about to
// wait without a time limit, after looking that nothing is ready for it either.
// Only what could still produce an event counts: a socket the plug-in opened
// that is listening or has a peer (a socket that failed to bind, say, never
// notifies anyone).
#pragma once

// Starts watching; `on_idle` is called once, on the plug-in's network thread,
// when the rule holds while armed. Main thread, before the plug-in is opened.
void idle_watch_start(void (*on_idle)());
// The script's main chunk has returned: from now on the rule is judged. Main
// thread, with the script lock held or not.
void idle_watch_arm();
// A new state is made (a reload) and its script runs: the rule waits for the new
// main chunk to return. Main thread, before the old state is closed.
void idle_watch_disarm();
