#pragma once

// Tunes the C allocator for the event path; called once at process start.
void TuneAllocator();
