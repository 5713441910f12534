// The capabilities of the tool's process. Opening a live interface needs
// CAP_NET_RAW and CAP_NET_ADMIN (or root, which holds them); nothing after it
// does, and a script never runs with a capability, whoever runs the tool and
// however it got them (root, ambient, file capabilities on the binary).
// Capabilities belong to each thread: both calls are made on the main
// thread before any other thread exists, and the plugin's worker, started
// later, inherits what is left, which is nothing.
#pragma once

// A script runner started by a tool that still runs as root becomes the
// configured user: the tool keeps what that takes (CAP_SETUID, CAP_SETGID,
// and CAP_SETPCAP for the runner to empty its own bounding set) and what
// ending such a runner takes (CAP_KILL) until it knows where its script
// runs. No script ever runs in the tool's process
// with them: they go before a script in a sub-interpreter is read.

// Empties the bounding set as far as the process may (a capability leaves
// it only with CAP_SETPCAP): no program that the script runs can gain one
// back. The capabilities held now are kept, for opening the capture; with
// keep_runner_start, those above stay in the bounding set too.
void qppReplayLimitCapabilities(bool keep_runner_start);

// Gives up every capability held: effective, permitted, inheritable and
// ambient, but, with keep_runner_start and as root, those above. Throws
// qppReplaySetupError when one is left.
void qppReplayDropCapabilities(bool keep_runner_start);
