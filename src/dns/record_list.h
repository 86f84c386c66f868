#pragma once
// The records of one answer, immutable once made and shared by everyone who
// holds them: the cache keeps one reference and every hit hands out another,
// so a hit copies no record however large the answer.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "dns/resource_record.h"

namespace tessvane {

class RecordList {
 public:
  using value_type = ResourceRecord;
  using const_iterator = const ResourceRecord*;
  using iterator = const_iterator;

  RecordList() noexcept = default;
  RecordList(const RecordList&) = default;
  RecordList& operator=(const RecordList&) = default;
  RecordList(RecordList&& other) noexcept
      : owner_(std::move(other.owner_)), view_(std::exchange(other.view_, {})) {}
  RecordList& operator=(RecordList&& other) noexcept {
    owner_ = std::move(other.owner_);
    view_ = std::exchange(other.view_, {});
    return *this;
  }
  ~RecordList() = default;
  // Takes the records over (an empty list allocates nothing). Implicit, so an
  // answer can be made from the decoded records directly. Throws
  // std::bad_alloc.
  RecordList(std::vector<ResourceRecord> records) {  // NOLINT(google-explicit-constructor)
    if (records.empty()) return;
    auto shared = std::make_shared<const std::vector<ResourceRecord>>(std::move(records));
    view_ = std::span<const ResourceRecord>(shared->data(), shared->size());
    owner_ = std::move(shared);
  }

  const ResourceRecord* data() const noexcept { return view_.data(); }
  std::size_t size() const noexcept { return view_.size(); }
  bool empty() const noexcept { return view_.empty(); }
  const_iterator begin() const noexcept { return view_.data(); }
  const_iterator end() const noexcept { return view_.data() + view_.size(); }
  const ResourceRecord& operator[](std::size_t i) const noexcept { return view_[i]; }

  friend bool operator==(const RecordList& a, const RecordList& b) noexcept {
    return a.owner_ == b.owner_ || std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  // The view points into the vector the owner keeps alive; both are copied
  // together, and a moved-from list is left empty.
  std::shared_ptr<const std::vector<ResourceRecord>> owner_;
  std::span<const ResourceRecord> view_;
};

}  // namespace tessvane
