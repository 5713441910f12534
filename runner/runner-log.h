// Where the script runner's log lines go (runner-host.cpp): standard
// error until the channel is up, then the daemon's log over it.
#pragma once

class qppRunnerChannel;

// Once, on the main thread, before any script code runs.
void qppRunnerLogTo(qppRunnerChannel *channel);
