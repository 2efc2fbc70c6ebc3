#pragma once
// A clean-up for the way out by an exception: a layer that must undo its
// work when a call below it fails lets the exception pass instead of catching
// and throwing it again (each throw costs an unwind, and a system call under
// AddressSanitizer).

#include <exception>
#include <utility>

namespace v270::mysql {

// Runs the clean-up when the scope is left while an exception that came
// after its construction is on its way; a normal exit keeps what was done.
// The clean-up runs during the unwind, so it must not throw.
template <class F> class OnFailure {
  public:
    explicit OnFailure(F cleanUp)
        : cleanUp_(std::move(cleanUp)), pending_(std::uncaught_exceptions()) {}
    ~OnFailure() {
        if (std::uncaught_exceptions() > pending_) cleanUp_();
    }
    OnFailure(const OnFailure&) = delete;
    OnFailure& operator=(const OnFailure&) = delete;

  private:
    F cleanUp_;
    int pending_;
};

} // namespace v270::mysql
