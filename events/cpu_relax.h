// Spin-wait helpers: the processor hint inside a spin loop, and a brief spin
// on a lock before sleeping on it.
#pragma once

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Takes a lock that is held only for a few pointer moves (the event queue's):
// tries it for a short while before sleeping on it, since the holder lets go
// sooner than a futex sleep and its wake-up take, and the holder is spared
// the system call of waking a sleeper. `lock` is a std::unique_lock or a mutex.
template <class Lock>
void LockBriefly(Lock& lock)
{
    for (int tries = 0; tries < 100; ++tries) {
        if (lock.try_lock())
            return;
        CpuRelax();
    }
    lock.lock();
}
