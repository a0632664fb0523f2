// The fake multiplexer daemon is shared with the platform layer's tests.
#include "platform/tether/support/fake_usbmuxd.cpp"
