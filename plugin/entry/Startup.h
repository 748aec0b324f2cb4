// The plug-in's start-up: the process-wide tables of its modules, set up in dependency order on
// the first call of any export. Start-up runs outside the loader lock, so it may load libraries
// and talk to COM.
//
// A started plug-in stays mapped until its process ends: its maff: scheme is in the process's
// URL session, which may call the scheme's factory and objects at any time, also after the
// host's last FreeLibrary, and the scheme cannot be withdrawn safely at unload (the loader lock
// is held then, while the session calls in holding a lock of its own). So nothing is torn down
// at unload: a library that can still be unloaded has not started and holds nothing.
#pragma once

namespace kv {

// Runs the steps not done yet, once per process and from any thread; raises when a step fails
// (the next call retries from that step).
void EnsureStarted();

} // namespace kv
