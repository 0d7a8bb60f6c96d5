// Owns a kernel object handle (event, mutex, mapping, process, thread) and closes it once; holds
// a mutex for a scope.
// Header-only, so the session manager, which does not link the DLL's library, shares it too.
#pragma once

#include <windows.h>

namespace com {

class handle {
public:
    handle() = default;
    explicit handle(HANDLE h) : h_(h) {}
    ~handle() { reset(); }
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    handle(handle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
    handle& operator=(handle&& other) noexcept
    {
        if (this != &other) {
            reset(other.h_);
            other.h_ = nullptr;
        }
        return *this;
    }

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(HANDLE h = nullptr)
    {
        if (h_)
            CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// CreateFileW answers INVALID_HANDLE_VALUE, not null, when it fails.
inline handle file_handle(HANDLE h)
{
    return handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// Owns a mutex (waiting without limit; an abandoned mutex is owned too) until destroyed.
class mutex_hold {
public:
    explicit mutex_hold(HANDLE mutex) : mutex_(mutex) { WaitForSingleObject(mutex_, INFINITE); }
    ~mutex_hold() { ReleaseMutex(mutex_); }
    mutex_hold(const mutex_hold&) = delete;
    mutex_hold& operator=(const mutex_hold&) = delete;

private:
    HANDLE mutex_;
};

} // namespace com
