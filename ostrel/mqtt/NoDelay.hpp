#pragma once
// Paho opens its sockets itself and leaves Nagle's algorithm on: a small PUBLISH then waits for
// the broker's acknowledgement of the one before (up to the peer's 40 ms delayed ACK). This
// switches it off on the process's TCP sockets connected to `port`.
namespace ostrel {

// How many sockets were switched.
int setNoDelayOnSocketsTo(int port);

}  // namespace ostrel
