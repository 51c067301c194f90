// Serving the main thread's queue from a test while other threads work, and the bounded
// polls that the tests use in place of guessed sleeps.
#pragma once
#include <functional>

namespace MainThreadPump {

// Serves the main thread's queue until APredicate holds or ASeconds pass (a bound for a
// hung run, not a speed target): whether APredicate held.
bool PumpUntil(const std::function<bool()>& APredicate, double ASeconds = 60.0);

// Runs AWork on a thread of its own (as an engine worker would) while this thread serves
// the main thread's queue, calling AEachRound (when given) in every round; joins the
// thread and serves what it queued last.
void RunPumping(const std::function<void()>& AWork, const std::function<void()>& AEachRound = {});

// Polls APredicate for about AMilliseconds, for a thread that must not make progress and
// where no event shows that it is held: false as soon as APredicate stops holding.
bool KeepsHolding(const std::function<bool()>& APredicate, int AMilliseconds = 50);

}  // namespace MainThreadPump
