// refresh_after_fork: the per-process state that a forked child must repair before its first array call.
// The child has none of the parent's threads, so the borrows they held are void there.
#pragma once

namespace vexlora {

// Call at the start of every array function, with the interpreter lock held.
void refresh_after_fork();

}  // namespace vexlora
