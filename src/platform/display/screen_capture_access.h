#pragma once

namespace platform {

// X has no capture permission: any client of a server may read its screen. Access is granted
// when the X server the layer works on can be reached, or, when every display gets an Xvfb
// server of its own, when Xvfb can be started. Never prompts.
bool preflightScreenCaptureAccess();

// The same answer: there is nothing to ask the user on X.
bool requestScreenCaptureAccess();

}  // namespace platform
