#include <cstdlib>
#include <new>

#include "spf/allocation_failure.h"

namespace tessvane::testing {
namespace {

struct ThreadBudget {
  bool active = false;
  std::size_t allowed = 0;
  std::size_t refused = 0;
};

thread_local ThreadBudget budget;

}  // namespace

AllocationFailure::AllocationFailure(std::size_t allowed) noexcept {
  budget = ThreadBudget{true, allowed, 0};
}

AllocationFailure::~AllocationFailure() {
  budget.active = false;
}

std::size_t AllocationFailure::refused() const noexcept {
  return budget.refused;
}

}  // namespace tessvane::testing

void* operator new(std::size_t size) {
  auto& budget = tessvane::testing::budget;
  if (budget.active) {
    if (budget.allowed == 0) {
      ++budget.refused;
      throw std::bad_alloc();
    }
    --budget.allowed;
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

// The nothrow form must come from the same pair as delete above (event queues
// are made with it), or a sanitizer sees a mismatched release.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
