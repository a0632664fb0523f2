#include <stdlib.h>

namespace {

// Unless a test points it at a fake daemon, libusbmuxd must not reach a real one on this
// machine; set before any thread exists.
struct MultiplexerAddress {
  MultiplexerAddress() {
    ::setenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/tovarine-test-usbmuxd", 1);
  }
} multiplexerAddress;

}  // namespace
