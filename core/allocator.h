#pragma once

#include <initializer_list>

// Sets one parameter of the C allocator (a mallopt option) to the first of
// `values` the C library accepts. When it accepts none, logs at level 50 and
// leaves the library's own behaviour in place. True when one was accepted.
bool ApplyAllocatorSetting(int option, const char* name, std::initializer_list<int> values);

// Tunes the C allocator for the event path. Called once at process start,
// after the core object exists so that a refused setting can be logged.
void TuneAllocator();
