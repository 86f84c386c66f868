#include "config/generation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <new>

namespace tessvane {
namespace {

constexpr char kWakeByte = 1;

}  // namespace

Result<std::vector<UniqueFd>> GenerationRecord::set_up_workers(std::size_t count) {
  std::vector<UniqueFd> read_ends;
  std::vector<UniqueFd> write_ends;
  std::unique_ptr<AckSlot[]> acks;
  try {
    read_ends.reserve(count);
    write_ends.reserve(count);
    acks = std::make_unique<AckSlot[]>(count);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  for (std::size_t i = 0; i < count; ++i) {
    int fds[2];
    // Non-blocking on both ends: the main thread must never stall on a full
    // pipe, and the worker drains it without waiting.
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return fail(error_from_errno(errno));
    read_ends.emplace_back(fds[0]);
    write_ends.emplace_back(fds[1]);
  }
  const std::uint64_t now = generation();
  for (std::size_t i = 0; i < count; ++i) acks[i].value.store(now);
  acks_ = std::move(acks);
  ack_count_ = count;
  reload_pipes_ = std::move(write_ends);
  return read_ends;
}

std::uint64_t GenerationRecord::acknowledged(std::size_t index) const noexcept {
  return acks_[index].value.load();
}

std::uint64_t GenerationRecord::min_acknowledged() const noexcept {
  std::uint64_t smallest = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t i = 0; i < ack_count_; ++i) {
    const std::uint64_t value = acks_[i].value.load();
    if (value < smallest) smallest = value;
  }
  return smallest;
}

void GenerationRecord::acknowledge(std::size_t index, std::uint64_t value) noexcept {
  if (index < ack_count_) acks_[index].value.store(value);
}

void GenerationRecord::wake_workers() const noexcept {
  for (const auto& pipe : reload_pipes_) {
    ssize_t n;
    do {
      n = ::write(pipe.get(), &kWakeByte, 1);
    } while (n < 0 && errno == EINTR);
  }
}

void GenerationRecord::release() noexcept {
  reload_pipes_ = std::vector<UniqueFd>();
  acks_.reset();
  ack_count_ = 0;
}

void acknowledge_generation(WorkerGeneration& worker) {
  const std::uint64_t now = worker.record.generation();
  worker.record.acknowledge(worker.index, now);
  if (now == worker.last_generation) return;
  worker.last_generation = now;
  if (worker.hook) worker.hook();
}

GenerationRecord& generation_record() noexcept {
  static GenerationRecord record;
  return record;
}

}  // namespace tessvane
