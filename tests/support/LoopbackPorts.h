#pragma once
// Sockets and free ports on 127.0.0.1 for tests that need a port of their own.
#include <cstdint>

namespace dialvo::test {

// A TCP socket on 127.0.0.1 with a free port, which goes to *port; listening
// when asked. -1 on failure.
int LoopbackTcpSocket(bool listening, uint16_t* port);
// A loopback TCP port that nothing listened on a moment ago; 0 when none
// could be had.
uint16_t UnusedLoopbackPort();
// A loopback UDP port that was free a moment ago; 0 when none could be had.
uint16_t UnusedUdpPort();

}  // namespace dialvo::test
