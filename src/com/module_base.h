// The module-wide state that every COM object of the DLL shares: the lock count that decides
// whether the DLL may be unloaded, and one critical section for module-wide serialisation.
#pragma once

#include <windows.h>

namespace com {

class module_base {
public:
    module_base();
    ~module_base();
    module_base(const module_base&) = delete;
    module_base& operator=(const module_base&) = delete;

    LONG lock() { return InterlockedIncrement(&lock_count_); }
    LONG unlock() { return InterlockedDecrement(&lock_count_); }
    LONG lock_count() const { return lock_count_; }

    // False when the critical section could not be set up; the DLL then refuses to load.
    bool initialised() const { return initialised_; }
    CRITICAL_SECTION& critical_section() { return cs_; }

private:
    volatile LONG lock_count_ = 0;
    CRITICAL_SECTION cs_;
    bool initialised_ = false;
};

// The one module of the process image (set by module_base's constructor).
module_base& current_module();

// Holds one unit of the module lock for its lifetime.
class module_lock {
public:
    module_lock() { current_module().lock(); }
    ~module_lock() { current_module().unlock(); }
    module_lock(const module_lock&) { current_module().lock(); }
    module_lock& operator=(const module_lock&) = default;
};

// RAII for a CRITICAL_SECTION owned elsewhere.
class critical_section_lock {
public:
    explicit critical_section_lock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~critical_section_lock() { LeaveCriticalSection(&cs_); }
    critical_section_lock(const critical_section_lock&) = delete;
    critical_section_lock& operator=(const critical_section_lock&) = delete;

private:
    CRITICAL_SECTION& cs_;
};

} // namespace com
