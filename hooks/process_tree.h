#pragma once

#include <sys/types.h>

namespace skyloom {

// Makes this process the parent of every orphan among its descendants, so that a process a
// hook starts in a session of its own, or after its parent has gone, stays below us where
// KillDescendants finds it. A cgroup would hold them too, but needs a delegated hierarchy
// that neither a desktop session nor the sandboxed service gives.
void AdoptOrphans();

// Kills every process below this one, again and again until none is left, and reaps those
// that became ours. `shell` (the hook's own shell) is killed but left for its QProcess to
// reap. The program runs one hook at a time, so whatever is below it belongs to that hook.
void KillDescendants(pid_t shell);

}  // namespace skyloom
