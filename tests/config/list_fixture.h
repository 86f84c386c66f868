#pragma once
// Helpers of the list publication tests: a memory source that can be told to
// fail and counts the boxes given back, small lists, reading a reload pipe.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <limits>
#include <memory_resource>
#include <new>
#include <string>

#include "base/unique_fd.h"
#include "config/list_holder.h"
#include "config/address_list.h"

namespace tessvane::testing {

class TestMemory : public std::pmr::memory_resource {
 public:
  // The allocation count allocations from now (0: the next one) fails.
  void fail_allocation(std::size_t count) { fail_at_ = allocations_ + count; }
  std::size_t boxes_allocated() const { return boxes_allocated_; }
  std::size_t boxes_released() const { return boxes_released_; }
  std::size_t boxes_live() const { return boxes_allocated_ - boxes_released_; }

 private:
  static constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
  static bool is_box(std::size_t bytes) { return bytes == sizeof(AddressList); }

  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (allocations_++ == fail_at_) throw std::bad_alloc();
    if (is_box(bytes)) ++boxes_allocated_;
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override {
    if (is_box(bytes)) ++boxes_released_;
    std::pmr::new_delete_resource()->deallocate(block, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::size_t allocations_ = 0;
  std::size_t fail_at_ = kNever;
  std::size_t boxes_allocated_ = 0;
  std::size_t boxes_released_ = 0;
};

// Everything waiting in a non-blocking pipe (a reload pipe's read end).
inline std::string drain_pipe(const UniqueFd& fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

inline AddressList list_of_ip4(std::uint8_t last_octet) {
  AddressList list;
  list.entries.push_back(Ip4Addr{{192, 0, 2, last_octet}});
  return list;
}

// Boxes and publishes a one-entry list; returns the box's address.
inline const AddressList* publish_ip4(ListHolder& holder, std::uint8_t last_octet) {
  auto box = holder.box(list_of_ip4(last_octet));
  EXPECT_TRUE(box.has_value());
  if (!box) return nullptr;
  const AddressList* address = box->get();
  EXPECT_TRUE(holder.publish(std::move(*box)).has_value());
  return address;
}

}  // namespace tessvane::testing
