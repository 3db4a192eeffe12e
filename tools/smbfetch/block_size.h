// smbfetch: how many bytes one library call reads.
#pragma once

#include <cstdint>

namespace smbfetch {

// A positional read keeps up to 16 MiB on the wire within one call and lets
// the wire run dry at its end, so larger blocks keep a network with latency
// busy for longer: through 10 ms each way, 64 MiB blocks fetched a 2 GiB file
// about four times as fast as 4 MiB blocks (docs/benchmarks.md). Smaller
// blocks keep the progress bar moving and a stop signal, held while a block
// is read, answered soon. So the block grows while blocks come quickly and
// shrinks while they come slowly, between these bounds.
inline constexpr uint32_t kFirstBlockBytes = 4u << 20;
inline constexpr uint32_t kSmallestBlockBytes = 1u << 20;
inline constexpr uint32_t kLargestBlockBytes = 64u << 20;
inline constexpr double kQuickBlockSeconds = 0.125;
inline constexpr double kSlowBlockSeconds = 0.5;

// The size of the next block after one of `current` bytes took `seconds`.
constexpr uint32_t nextBlockBytes(uint32_t current, double seconds)
{
    if (seconds < kQuickBlockSeconds && current <= kLargestBlockBytes / 2)
        return current * 2;
    if (seconds > kSlowBlockSeconds && current >= kSmallestBlockBytes * 2)
        return current / 2;
    return current;
}

}  // namespace smbfetch
