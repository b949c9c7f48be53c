#pragma once
// The daemon's configuration is the plain tree; the DNS relay still includes it by this name.
#include "config/CProxyCFG.h"
