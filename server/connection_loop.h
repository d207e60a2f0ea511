// The serving loop: one thread and one readiness set over the listening socket and every open
// connection, each of which moves on whenever its socket is ready or its deadline is due, so no
// client waits on another and a wake-up costs what the ready and the due connections cost.
#pragma once

#include <string>

#include "platform/win32.h"

namespace dirhttp {

/// Before it sleeps, the loop keeps looking for a ready socket for this long, yielding the
/// processor between looks: a client's next connection or request usually comes within it, and
/// on the machines measured, waking a sleeping server took longer than that.
constexpr int kSpinMicroseconds = 100;

/// Serves connections on `listener` until accepting fails with an error that leaves the listening
/// socket unusable; returns that error. At most connection_capacity() connections are open at
/// once: when one more arrives, the one that has waited longest for its request is closed with
/// the time-out receive error; when none is waiting for its request (all are sending or
/// draining), new clients wait in the listen backlog.
int serve_forever(SOCKET listener, const std::string& document_root);

}  // namespace dirhttp
