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
// the system call of waking a sleeper. The tries are spaced out: each one
// pulls the lock's cache line away from the holder, who needs it to let go.
// `lock` is a std::unique_lock or a mutex.
template <class Lock>
void LockBriefly(Lock& lock)
{
    for (int tries = 0; tries < 25; ++tries) {
        if (lock.try_lock())
            return;
        for (int i = 0; i < 4; ++i)
            CpuRelax();
    }
    lock.lock();
}
