#pragma once

#include <functional>

namespace platform {

// Spins for a few tens of microseconds, giving way to other threads between looks, until `ready`
// answers true (then true) or the time is up (then false). For a thread about to park that
// expects work to arrive at once: parking costs a futex (or poll) wake and a scheduler round
// trip, many times what the hand-off itself costs. Bounded, so nothing spins in a quiet process.
bool spinUntil(const std::function<bool()>& ready);

}  // namespace platform
