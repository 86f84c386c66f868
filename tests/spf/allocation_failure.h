#pragma once
// Makes operator new fail on the calling thread, so that tests can reach the
// OutOfMemory paths. This test program replaces the global operator new and
// delete (allocation_failure_fixture.cc); nothing changes while no
// AllocationFailure is alive.

#include <cstddef>

namespace tessvane::testing {

class AllocationFailure {
 public:
  // The next allowed allocations of this thread succeed, every later one
  // throws std::bad_alloc, until this object is destroyed.
  explicit AllocationFailure(std::size_t allowed) noexcept;
  ~AllocationFailure();
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;

  // Allocations refused so far.
  std::size_t refused() const noexcept;
};

}  // namespace tessvane::testing
