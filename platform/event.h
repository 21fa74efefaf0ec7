// A manual-reset event: set and reset by any thread, waited for with a time limit.
//
// The creation can fail (valid() is then false): set and reset do nothing and wait()
// returns true at once, so a caller that waits on a signal that could not be made does not
// wait out a time-out for nothing. One owner; destroyed with the object.
//
// waiters() counts the threads asleep in wait(): each found the event unset and sleeps until
// a set() or its time-out; one that is counted is released by any set() that comes after.
// It is for tests, which then set the event while its waiters sleep instead of guessing a
// pause.
#pragma once

#include <cstdint>

namespace platform {

class manual_event {
  public:
    explicit manual_event(bool initially_set);
    manual_event(const manual_event&) = delete;
    manual_event& operator=(const manual_event&) = delete;
    ~manual_event();

    bool valid() const { return raw_ != nullptr; }
    void set();
    void reset();
    // True when the event is (or becomes) set within ms milliseconds.
    bool wait(uint32_t ms);
    int waiters();

  private:
    void* raw_ = nullptr;
};

}  // namespace platform
