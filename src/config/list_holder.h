#pragma once
// Publication of an address list to the worker threads without locks. A
// published list lives in a heap block of its own (its box) so that the
// holder can swap the box's address atomically. A replaced box is retired,
// tagged with the generation its replacement created, and released inside a
// later publish once every worker has acknowledged that generation: a worker
// acknowledges at the top of a loop iteration, when it holds no box from an
// earlier one, and the tag is created after the swap, so no worker can still
// use a released box.
//
// A reload storm while one worker is busy (say in a slow DNS lookup) must
// not pile up one retired box per reload: once kMaxRetired boxes await
// reclamation, offer() holds the new list back instead of publishing it, and
// a newer list replaces the one held back (which no worker has seen, so it
// goes at once). publish_held() publishes it once reclamation made room.
//
// Threads: current() may be called by any thread; everything else is for the
// main thread only. Readers take current() once per message and never keep
// the box past the end of their loop iteration.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <vector>

#include "base/error_code.h"
#include "config/generation.h"
#include "config/address_list.h"

namespace tessvane {

class ListHolder {
 public:
  // Releases a box: the list's contents, then the block (to the memory
  // source it came from).
  using Release = void (*)(std::pmr::memory_resource& memory, AddressList* box) noexcept;
  static void release_box(std::pmr::memory_resource& memory, AddressList* box) noexcept;

  class BoxDeleter {
   public:
    BoxDeleter(std::pmr::memory_resource& memory, Release release) noexcept
        : memory_(&memory), release_(release) {}
    void operator()(AddressList* box) const noexcept { release_(*memory_, box); }

   private:
    std::pmr::memory_resource* memory_;
    Release release_;
  };
  using Box = std::unique_ptr<AddressList, BoxDeleter>;

  // The memory source provides the boxes and the retired table; both it and
  // the record must outlive the holder.
  explicit ListHolder(GenerationRecord& record,
                      std::pmr::memory_resource& memory = *std::pmr::new_delete_resource(),
                      Release release = &release_box) noexcept;
  ~ListHolder();
  ListHolder(const ListHolder&) = delete;
  ListHolder& operator=(const ListHolder&) = delete;

  // The published box, or nullptr when none is (no file, never loaded).
  const AddressList* current() const noexcept { return current_.load(); }

  // Moves a parsed list into a box of its own. Error: OutOfMemory, and the
  // list is then left untouched with the caller.
  Result<Box> box(AddressList&& list) noexcept;

  // Swaps the box in, advances the generation by one, retires the replaced
  // box and releases every retired box whose tag is at most the smallest
  // acknowledgement. Errors: OutOfMemory (no room to retire the old box;
  // nothing changed), InvalidArgument (an empty box); the box is released.
  Status publish(Box box) noexcept;

  // Replaced boxes allowed to await reclamation before offer() holds new
  // lists back: with the current and the held-back box, a holder never keeps
  // more than kMaxRetired + 2 lists.
  static constexpr std::size_t kMaxRetired = 4;

  enum class Offered { Published, HeldBack };
  // Releases any box held back before (this one is newer), reclaims what it
  // can, then publishes the box if fewer than kMaxRetired boxes still await
  // reclamation, else holds it back. Errors: those of publish; the box is
  // released.
  Result<Offered> offer(Box box) noexcept;

  // Publishes the held-back box if reclamation now leaves room; true when it
  // did, false when there is none or still no room. Error: OutOfMemory, the
  // box is then still held back.
  Result<bool> publish_held() noexcept;

  bool holds_back() const noexcept { return held_ != nullptr; }

  const GenerationRecord& record() const noexcept { return record_; }

  // Boxes replaced but not yet released.
  std::size_t retired_count() const noexcept { return retired_.size(); }

  // Releases every retired box, the held-back one and the current one
  // (shutdown, after the workers are joined).
  void release_all() noexcept;

 private:
  struct Retired {
    AddressList* box;
    std::uint64_t tag;  // the generation created by the publish that replaced it
  };

  Status make_room_for_one_more() noexcept;
  void reclaim(std::uint64_t min_ack) noexcept;
  bool room_to_retire() noexcept;

  GenerationRecord& record_;
  std::pmr::memory_resource& memory_;
  Release release_;
  std::atomic<AddressList*> current_{nullptr};
  std::pmr::vector<Retired> retired_;
  AddressList* held_ = nullptr;  // never published, so never read by a worker
};

// The two process-wide holders, bound to generation_record().
ListHolder& whitelist_holder() noexcept;
ListHolder& trusted_relays_holder() noexcept;

}  // namespace tessvane
