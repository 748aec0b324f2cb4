// Making protocol handler classes reachable by the URL-moniker layer of this process.
#pragma once

#include "shell/ComFactory.h"

namespace kv {

// Creates the class's factory and, for a class registered per session, registers it in this
// process's URL-moniker session for each of its scheme names. Raises the OLE error when the
// session cannot be had or refuses a name (names registered before stay registered).
TorvShellExtensionFactory& RegisterSessionHandler(const TorvExtensionClass& extensionClass);

// Registrations are never withdrawn: the library stays loaded once started, and the session may
// call its factories until the process ends.

} // namespace kv
