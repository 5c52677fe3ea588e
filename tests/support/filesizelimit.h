#pragma once

#include <cstdint>
#include <functional>

/// Runs `body` in a forked child whose files may not grow past `limitBytes`
/// (RLIMIT_FSIZE, with SIGXFSZ ignored, so a write past the limit fails with EFBIG). This
/// injects a full disk in the middle of a file, also for root. Returns the child's exit
/// status (body's result), or -1 when the child did not exit normally. What the child
/// wrote stays on disk for the parent to inspect.
int runWithFileSizeLimit(uint64_t limitBytes, const std::function<int()>& body);
