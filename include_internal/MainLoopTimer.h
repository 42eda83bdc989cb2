// One-shot timeouts on the main loop that the framework runs. The only unit of the service that
// knows which loop that is; everything else asks here.
#pragma once

class MainLoopTimer {
  public:
    // Must not throw: it runs on the loop, with nobody to catch.
    using Callback = void (*)(void* userData);

    // Calls `callback` with `userData` once, `delayMs` milliseconds from now, on the main loop.
    // Returns the timeout's id, never 0.
    static unsigned Add(unsigned delayMs, Callback callback, void* userData);
    // Withdraws a timeout that has not run yet.
    static void Remove(unsigned id);
};
