#pragma once
// The part every datagram association shares (UDP rules and the DNS relay): its own socket towards
// the target, bound to an ephemeral port, and the thread that reads it.
#include <atomic>

#include "thread/Thread.h"
#include "util/DBString.h"
#include "util/Net.h"

// Opens and binds the socket, then starts the reader with run set. A failure is logged as failed +
// "socket()" / "bind(0.0.0.0:0)" / "bind(0:0)" (the pool logs a thread it could not create) and
// leaves nothing open: no socket may stay without its reader.
bool OpenAssociation(int family, Socket& socket, Thread& reader, std::atomic<bool>& run, const DBString& failed);
