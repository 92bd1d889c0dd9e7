// BorrowRegistry: the process-wide record of arrays that running calls read or write.
// It keeps concurrent calls off each other's outputs; used only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vexlora {

// One borrowed array, described by its memory. Entries that agree in every field are one entry.
struct BorrowEntry {
    std::uintptr_t begin;
    std::uintptr_t end;
    std::uintptr_t data;
    std::uint64_t stride_gcd;
    std::int64_t elem_size;

    auto operator<=>(const BorrowEntry&) const = default;  // by range first
};

enum class BorrowRefusal { None, AlreadyBorrowed, NotWriteable };

// Entries of one base and one kind with their counts. The few that a usual call borrows are scanned
// in full; more are ordered by range, so that a borrow finds an equal entry, and the entries its range
// overlaps, without passing the others.
class OrderedEntries {
public:
    bool empty() const noexcept { return few_count_ == 0 && counts_.empty(); }
    std::int64_t* find(const BorrowEntry& entry) noexcept;
    void add(const BorrowEntry& entry, std::int64_t count);  // entry not yet present
    // Takes one borrow off an entry, which goes when no positive count is left. False if absent.
    bool release(const BorrowEntry& entry) noexcept;
    // Whether some entry equals `entry` or conflicts with it (borrows_conflict below).
    bool meets(const BorrowEntry& entry) const;

private:
    // Entries are in `few_` while there are at most kFew of them, otherwise all in `counts_` until it
    // is empty again; the two never both hold entries.
    static constexpr std::size_t kFew = 4;
    std::array<std::pair<BorrowEntry, std::int64_t>, kFew> few_{};
    std::size_t few_count_ = 0;
    std::map<BorrowEntry, std::int64_t> counts_;
    // No entry's range is longer: entries that begin further below a range cannot reach into it.
    std::uintptr_t longest_ = 0;
};

class BorrowRegistry {
public:
    BorrowRefusal acquire_read(const void* base, const BorrowEntry& entry);
    BorrowRefusal acquire_write(const void* base, const BorrowEntry& entry, bool writeable);
    void release(const void* base, const BorrowEntry& entry) noexcept;
    // Forgets every borrow: used in a forked child, where the calls that held them do not exist.
    void clear() noexcept { by_base_.clear(); }

private:
    // Read entries count their borrows; write entries (one borrow each) are apart, because a read
    // borrow need only look among them. No entry is in both.
    struct BaseBorrows {
        OrderedEntries reads;
        OrderedEntries writes;
    };
    std::unordered_map<const void*, BaseBorrows> by_base_;
};

BorrowRegistry& borrow_registry();

// Two entries of one base conflict when their byte ranges overlap and some element of one may
// share a byte with an element of the other, judged from the data pointers modulo the common
// stride divisor and the element sizes. Conservative: never misses a shared byte.
bool borrows_conflict(const BorrowEntry& a, const BorrowEntry& b);

struct NumpyApi;
struct ArrayGeometry;

// The borrows of one call, released when it ends: the write borrow first, then the read borrows,
// in reverse order of taking for named parameters or in taking order for a band list.
// A refusal is returned as its message; the caller raises it once the borrows are released.
class CallBorrows {
public:
    // `expected_reads` only reserves room.
    CallBorrows(const NumpyApi& api, bool release_reads_in_reverse, std::size_t expected_reads)
        : api_(api), reverse_(release_reads_in_reverse) {
        reads_.reserve(expected_reads);
    }
    ~CallBorrows();
    CallBorrows(const CallBorrows&) = delete;
    CallBorrows& operator=(const CallBorrows&) = delete;

    // Empty on success, otherwise the PanicException message of the refusal. `geometry` is the
    // array's as inspect_array read it; the array object gives only the base of its memory.
    std::optional<std::string> read(PyObject* array, const ArrayGeometry& geometry);
    std::optional<std::string> write(PyObject* array, const ArrayGeometry& geometry);

private:
    struct Taken {
        const void* base;
        BorrowEntry entry;
    };
    std::optional<std::string> take(PyObject* array, const ArrayGeometry& geometry, bool write);

    const NumpyApi& api_;
    bool reverse_;
    // Room for the usual few read borrows inside the object; a long band list goes to the heap.
    alignas(Taken) std::byte inline_reads_[4 * sizeof(Taken)];
    std::pmr::monotonic_buffer_resource reads_memory_{inline_reads_, sizeof inline_reads_};
    std::pmr::vector<Taken> reads_{&reads_memory_};
    bool has_write_ = false;
    Taken write_{};
};

}  // namespace vexlora
