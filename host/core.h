// tavrel's core: one run of the stand-in host, the same on every platform. It
// loads a plug-in as the home-automation host does, hands it a Lua state, runs a
// script under the script lock and serves the plug-in's events until a stop from
// outside, tavrel.exit(), os.exit(), the time-out or the end of everything that
// could call the script back (idle_watch.h) ends the run. What differs between
// the platforms is behind tavrel_os.h.
#pragma once

// The whole run, from the command line to the exit status. Main thread.
int tavrel_main(int argc, char** argv);
