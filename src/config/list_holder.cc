#include "config/list_holder.h"

#include <new>
#include <utility>

namespace tessvane {

void ListHolder::release_box(std::pmr::memory_resource& memory, AddressList* box) noexcept {
  std::destroy_at(box);
  memory.deallocate(box, sizeof(AddressList), alignof(AddressList));
}

ListHolder::ListHolder(GenerationRecord& record, std::pmr::memory_resource& memory,
                       Release release) noexcept
    : record_(record), memory_(memory), release_(release), retired_(&memory) {}

ListHolder::~ListHolder() {
  release_all();
}

Result<ListHolder::Box> ListHolder::box(AddressList&& list) noexcept {
  void* block = nullptr;
  try {
    block = memory_.allocate(sizeof(AddressList), alignof(AddressList));
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  return Box(std::construct_at(static_cast<AddressList*>(block), std::move(list)),
             BoxDeleter(memory_, release_));
}

// Grows by half plus eight, so that retiring stays amortised when a worker
// that never wakes up lets boxes pile up.
Status ListHolder::make_room_for_one_more() noexcept {
  const std::size_t needed = retired_.size() + 1;
  std::size_t capacity = retired_.capacity();
  if (capacity >= needed) return {};
  while (capacity < needed) capacity = capacity + capacity / 2 + 8;
  try {
    retired_.reserve(capacity);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  return {};
}

void ListHolder::reclaim(std::uint64_t min_ack) noexcept {
  std::size_t i = 0;
  while (i < retired_.size()) {
    if (retired_[i].tag > min_ack) {
      ++i;
      continue;
    }
    release_(memory_, retired_[i].box);
    // The last entry takes this place and is examined next.
    retired_[i] = retired_.back();
    retired_.pop_back();
  }
}

Status ListHolder::publish(Box box) noexcept {
  if (!box) return fail(ErrorCode::InvalidArgument);
  auto room = make_room_for_one_more();
  if (!room) return room;
  // The swap comes before the increment that creates the tag: a worker that
  // acknowledges the tag has already seen the new box.
  AddressList* old = current_.exchange(box.release());
  const std::uint64_t tag = record_.advance();
  if (old != nullptr) retired_.push_back({old, tag});
  reclaim(record_.min_acknowledged());
  return {};
}

bool ListHolder::room_to_retire() noexcept {
  reclaim(record_.min_acknowledged());
  return retired_.size() < kMaxRetired;
}

Result<ListHolder::Offered> ListHolder::offer(Box box) noexcept {
  if (!box) return fail(ErrorCode::InvalidArgument);
  // The newer list supersedes one held back, whether it is published now or
  // held back in its place.
  if (held_ != nullptr) release_(memory_, std::exchange(held_, nullptr));
  if (!room_to_retire()) {
    held_ = box.release();
    return Offered::HeldBack;
  }
  if (auto published = publish(std::move(box)); !published) return fail(published.error());
  return Offered::Published;
}

Result<bool> ListHolder::publish_held() noexcept {
  if (held_ == nullptr || !room_to_retire()) return false;
  auto room = make_room_for_one_more();
  if (!room) return fail(room.error());
  AddressList* held = std::exchange(held_, nullptr);
  if (auto published = publish(Box(held, BoxDeleter(memory_, release_))); !published) {
    return fail(published.error());
  }
  return true;
}

void ListHolder::release_all() noexcept {
  if (held_ != nullptr) release_(memory_, std::exchange(held_, nullptr));
  for (const auto& entry : retired_) release_(memory_, entry.box);
  std::pmr::vector<Retired>(&memory_).swap(retired_);
  if (AddressList* box = current_.exchange(nullptr)) release_(memory_, box);
}

ListHolder& whitelist_holder() noexcept {
  static ListHolder holder(generation_record());
  return holder;
}

ListHolder& trusted_relays_holder() noexcept {
  static ListHolder holder(generation_record());
  return holder;
}

}  // namespace tessvane
