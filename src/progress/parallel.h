// parallelFor: runs a loop body on the calling thread and on every pool thread that is free
// right now. It never waits for a pool slot, so it is safe from pool threads too (a pool
// worker that waited for queued work while all slots are busy would wait for ever).
#pragma once

#include <cstdint>
#include <functional>

// Calls body(i) once for each i in [0, count), in any order and on any of the threads;
// returns when all calls have returned. An exception from a body stops the handing out of
// further items and is thrown again here.
void parallelFor(int64_t count, const std::function<void(int64_t)>& body);
