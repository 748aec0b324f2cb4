// The plug-in's start-up and unload: the process-wide tables of its modules, set up in
// dependency order on the first call of any export and released in reverse order at unload.
// Start-up runs outside the loader lock, so it may load libraries and talk to COM.
#pragma once

namespace kv {

// Runs the steps not done yet, once per load of the plug-in and from any thread; raises when
// a step fails (the next call retries from that step).
void EnsureStarted();

// Undoes the steps that ran, in reverse order. Called while the library is being unloaded
// (FreeLibrary): only frees memory and unloads libraries it loaded.
void ShutDown() noexcept;

} // namespace kv
