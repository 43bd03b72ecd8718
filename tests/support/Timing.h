#pragma once

// Bounds for "promptly" in timed assertions on whole programs. Each sits below the pause or
// drain that a regression would wait out; under sanitizers, where everything runs several times
// slower, it grows, and the plain build keeps the tight bound.
#ifdef BRIMVAULT_SANITIZED
constexpr int kTimeScale = 2;
#else
constexpr int kTimeScale = 1;
#endif

constexpr int promptMs(int ms)
{
    return ms * kTimeScale;
}
