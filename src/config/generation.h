#pragma once
// The configuration generation: a process-wide counter that every reload
// advances, one acknowledgement slot per worker, and the write ends of the
// workers' reload pipes.
//
// Threads: only the main thread advances the counter, sets the workers up,
// wakes them and releases the record; worker i writes only slot i. No lock is
// taken: the counter is advanced with sequentially consistent read-modify-
// write operations and each slot is one atomic 64-bit word, so a worker's
// reads of a published list during one loop iteration happen before the
// acknowledgement it stores at the next loop top, which the main thread reads
// before it releases that list (config/list_holder.h).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/error_code.h"
#include "base/unique_fd.h"

namespace tessvane {

class GenerationRecord {
 public:
  GenerationRecord() = default;
  GenerationRecord(const GenerationRecord&) = delete;
  GenerationRecord& operator=(const GenerationRecord&) = delete;

  std::uint64_t generation() const noexcept { return generation_.load(); }
  // Adds one and returns the new value (main thread).
  std::uint64_t advance() noexcept { return generation_.fetch_add(1) + 1; }

  // Creates the acknowledgement table with every slot at the current
  // generation, and one reload pipe per worker (non-blocking, close-on-exec).
  // Returns the pipes' read ends, index i for worker i; the record keeps the
  // write ends. Main thread, once, before any worker runs. Errors: OutOfMemory
  // or the pipe's error (ProcessFdQuotaExceeded, ...); nothing is kept then.
  Result<std::vector<UniqueFd>> set_up_workers(std::size_t count);

  std::size_t worker_count() const noexcept { return ack_count_; }
  // Worker index's acknowledged generation (index < worker_count()).
  std::uint64_t acknowledged(std::size_t index) const noexcept;
  // The smallest acknowledgement; the largest 64-bit value while there is no
  // table (start-up, before the workers exist: nobody can hold a list).
  std::uint64_t min_acknowledged() const noexcept;
  // Stores generation into slot index; ignored when there is no such slot.
  // Only worker index calls it.
  void acknowledge(std::size_t index, std::uint64_t generation) noexcept;

  // Writes the byte 1 to every reload pipe to wake the workers. A failed
  // write is ignored: a full pipe already holds a wake-up, and a worker that
  // was not woken acknowledges at its next wake-up for any other reason.
  void wake_workers() const noexcept;

  // Closes the reload pipes and frees the table; after the workers are joined.
  void release() noexcept;

 private:
  // One cache line per slot: workers store theirs at every loop top and must
  // not contend for a shared line.
  static constexpr std::size_t kSlotAlignment = 64;
  struct alignas(kSlotAlignment) AckSlot {
    std::atomic<std::uint64_t> value{0};
  };

  std::atomic<std::uint64_t> generation_{0};
  std::unique_ptr<AckSlot[]> acks_;
  std::size_t ack_count_ = 0;
  std::vector<UniqueFd> reload_pipes_;
};

// Run on the worker's own thread when it sees a new generation; it discards
// that thread's resolver state.
using ReloadHook = std::function<void()>;

// The generation state one worker keeps (part of the worker record).
struct WorkerGeneration {
  WorkerGeneration(GenerationRecord& record_in, std::size_t index_in, ReloadHook hook_in)
      : record(record_in),
        index(index_in),
        last_generation(record_in.generation()),
        hook(std::move(hook_in)) {}

  GenerationRecord& record;
  std::size_t index;
  std::uint64_t last_generation;  // the generation this worker last acted on
  ReloadHook hook;
};

// At the top of every worker loop iteration, before waiting for events, when
// the worker holds no list from an earlier iteration: stores the current
// generation into the worker's slot and, when it differs from the last one
// seen, remembers it and calls the hook (once, however many reloads passed).
void acknowledge_generation(WorkerGeneration& worker);

// The process-wide record.
GenerationRecord& generation_record() noexcept;

}  // namespace tessvane
