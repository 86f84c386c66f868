#include "sys/thread.h"

#include <cerrno>

namespace tessvane {
namespace {

// Destroys the attribute object on every path out of start_service_thread.
class ThreadAttributes {
 public:
  ThreadAttributes() noexcept : ok_(::pthread_attr_init(&attr_) == 0) {}
  ~ThreadAttributes() {
    if (ok_) ::pthread_attr_destroy(&attr_);
  }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;

  bool configure() noexcept {
    return ok_ && ::pthread_attr_setstacksize(&attr_, kServiceThreadStack) == 0 &&
           ::pthread_attr_setguardsize(&attr_, kServiceThreadGuard) == 0;
  }
  const pthread_attr_t* get() const noexcept { return &attr_; }

 private:
  pthread_attr_t attr_{};
  bool ok_;
};

}  // namespace

Result<pthread_t> start_service_thread(void* (*body)(void*), void* argument) noexcept {
  ThreadAttributes attributes;
  if (!attributes.configure()) return fail(ErrorCode::SystemResources);
  pthread_t thread{};
  const int rc = ::pthread_create(&thread, attributes.get(), body, argument);
  if (rc == EAGAIN) return fail(ErrorCode::SystemResources);
  if (rc != 0) return fail(ErrorCode::Unexpected);
  return thread;
}

}  // namespace tessvane
