// Everything a plugin sees of the host.
#pragma once

#include "qd-addr.h"
#include "qd-config.h"
#include "qd-exception.h"
#include "qd-flags.h"
#include "qd-flow.h"
#include "qd-log.h"
#include "qd-plugin.h"
#include "qd-sync.h"
#include "qd-thread.h"
#include "qd-util.h"
