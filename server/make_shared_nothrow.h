// A new object held by a shared_ptr, or an empty pointer when memory for the object or for
// the pointer's bookkeeping cannot be had. Never throws (the object's constructor must not).
#pragma once

#include <memory>
#include <new>

template <typename T>
std::shared_ptr<T> make_shared_nothrow() {
    T* object = new (std::nothrow) T;
    if (!object)
        return std::shared_ptr<T>();
    try {
        return std::shared_ptr<T>(object);
    } catch (const std::bad_alloc&) {
        return std::shared_ptr<T>();  // the failed shared_ptr has deleted the object
    }
}
