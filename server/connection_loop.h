// The serving loop: accepts connections and serves them one at a time, whichever has sent its
// request first, so that a silent connection never holds up a ready one.
#pragma once

#include <string>

#include "platform/win32.h"

namespace dirhttp {

/// A connection that sends nothing for this long is closed with the time-out receive error.
constexpr int kIdleTimeoutMs = 5000;
/// At most this many accepted connections wait for their first bytes; when one more arrives the
/// longest-waiting one is closed with the time-out error.
constexpr std::size_t kMaxWaiting = 64;
/// Before it sleeps, the loop keeps looking for a ready socket for this long, yielding the
/// processor between looks: a client's next connection or request usually comes within it, and
/// on the machines measured, waking a sleeping server took longer than that.
constexpr int kSpinMicroseconds = 100;

/// Serves connections on `listener` until accepting fails with an error that leaves the listening
/// socket unusable; returns that error.
int serve_forever(SOCKET listener, const std::string& document_root);

}  // namespace dirhttp
