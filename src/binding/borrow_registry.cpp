// Borrow entries from NumPy arrays (base object, byte range, stride divisor), the conflict rule,
// and taking and releasing read and write borrows in each base's range-ordered entries.
#include "binding/borrow_registry.hpp"

#include "binding/array_arg.hpp"
#include "binding/messages.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "kernels/strided_view.hpp"

#include <algorithm>
#include <climits>
#include <new>
#include <numeric>
#include <string>

namespace vexlora {
namespace {

constexpr std::size_t kRetainedBases = 64;

// The array that a non-array base shows, if it is one of the two wrappers through which views of
// an array's memory are made: NumPy's stride-tricks wrapper (its `base` attribute) or a memoryview
// of the array (its `obj`). Null otherwise. Runs no Python code of the caller's.
PyObject* wrapped_array(const NumpyApi& api, PyObject* base) {
    PyObject* shown = nullptr;
    if (api.stride_wrapper_type != nullptr && Py_IS_TYPE(base, api.stride_wrapper_type)) {
        PyRef dict = PyRef::steal(PyObject_GenericGetDict(base, nullptr));
        if (dict) shown = PyDict_GetItemString(dict.get(), "base");  // held by the wrapper's dict
    } else if (PyMemoryView_Check(base)) {
        PyRef exporter = PyRef::steal(PyObject_GetAttrString(base, "obj"));
        shown = exporter.get();  // held by the memoryview's buffer
    }
    PyErr_Clear();  // a released memoryview has no `obj`: it then counts as the base itself
    return shown != nullptr && is_ndarray(api, shown) ? shown : nullptr;
}

// The object that owns the memory: follow `base` while it is itself an array, or a wrapper that
// shows an array.
const void* base_of(const NumpyApi& api, PyObject* array) {
    PyObject* current = array;
    for (;;) {
        PyObject* base = array_fields(current)->base;
        if (base == nullptr) return current;
        if (!is_ndarray(api, base)) {
            PyObject* shown = wrapped_array(api, base);
            if (shown == nullptr) return base;
            base = shown;
        }
        current = base;
    }
}

BorrowEntry entry_of(const ArrayGeometry& a, std::int64_t elem_size) {
    const ViewGeometry g{a.dims[0], a.dims[1], a.strides[0], a.strides[1], elem_size};
    const auto data = reinterpret_cast<std::uintptr_t>(a.data);
    const ByteRange range = byte_range(data, g);
    const std::uint64_t gcd = std::gcd(stride_magnitude(a.strides[0]), stride_magnitude(a.strides[1]));
    return {range.begin, range.end, data, gcd, elem_size};
}

std::string refusal_message(BorrowRefusal refusal) {
    const std::string_view reason = refusal == BorrowRefusal::NotWriteable ? msg::kNotWriteable : msg::kAlreadyBorrowed;
    return msg::format_message(msg::kBorrowRefused, {reason});
}

}  // namespace

bool borrows_conflict(const BorrowEntry& a, const BorrowEntry& b) {
    if (!(a.begin < b.end && b.begin < a.end)) return false;
    const std::uint64_t g = std::gcd(a.stride_gcd, b.stride_gcd);
    if (g == 0) return true;  // both arrays have a single position each, and their bytes overlap
    // Every element of `a` starts at a.data modulo g, every element of `b` at b.data modulo g.
    // With d the distance from a's residue to b's, some pair of elements overlaps exactly when an
    // element of b can start inside one of a (d < a's size) or one of a inside one of b (g - d < b's size).
    const std::uint64_t d = b.data >= a.data ? (b.data - a.data) % g : (g - (a.data - b.data) % g) % g;
    return d < static_cast<std::uint64_t>(a.elem_size) || g - d < static_cast<std::uint64_t>(b.elem_size);
}

std::int64_t* OrderedEntries::find(const BorrowEntry& entry) noexcept {
    for (std::size_t i = 0; i < few_count_; ++i) {
        if (few_[i].first == entry) return &few_[i].second;
    }
    const auto it = counts_.find(entry);
    return it != counts_.end() ? &it->second : nullptr;
}

void OrderedEntries::add(const BorrowEntry& entry, std::int64_t count) {
    if (counts_.empty() && few_count_ < kFew) {
        few_[few_count_++] = {entry, count};
    } else if (counts_.empty()) {
        // The few go into order with the new one; if that fails, nothing has changed.
        std::map<BorrowEntry, std::int64_t> all(few_.begin(), few_.end());
        all.emplace(entry, count);
        counts_.swap(all);
        few_count_ = 0;
    } else {
        counts_.emplace(entry, count);
    }
    longest_ = std::max(longest_, entry.end - entry.begin);
}

bool OrderedEntries::release(const BorrowEntry& entry) noexcept {
    for (std::size_t i = 0; i < few_count_; ++i) {
        if (few_[i].first != entry) continue;
        if (few_[i].second > 1) {
            --few_[i].second;
        } else {
            few_[i] = few_[--few_count_];
        }
        if (empty()) longest_ = 0;
        return true;
    }
    const auto it = counts_.find(entry);
    if (it == counts_.end()) return false;
    if (it->second > 1) {
        --it->second;
    } else {
        counts_.erase(it);
    }
    if (empty()) longest_ = 0;
    return true;
}

bool OrderedEntries::meets(const BorrowEntry& entry) const {
    // An equal entry meets `entry` even where its range is empty, which conflicts with nothing.
    for (std::size_t i = 0; i < few_count_; ++i) {
        if (few_[i].first == entry || borrows_conflict(few_[i].first, entry)) return true;
    }
    if (entry.begin == entry.end) return counts_.contains(entry);
    if (counts_.empty()) return false;
    // Only entries that begin before `entry` ends, and at most `longest_` bytes before it begins, can
    // overlap it; an equal entry that is not empty is among them and conflicts with it.
    const std::uintptr_t lowest = entry.begin - std::min(entry.begin, longest_);
    for (auto it = counts_.lower_bound(BorrowEntry{lowest, 0, 0, 0, INT64_MIN});
         it != counts_.end() && it->first.begin < entry.end; ++it) {
        if (borrows_conflict(it->first, entry)) return true;
    }
    return false;
}

// An entry is never both a read and a write entry, so an equal read entry is the only thing that
// lets a read borrow through without looking at the write entries.
BorrowRefusal BorrowRegistry::acquire_read(const void* base, const BorrowEntry& entry) {
    BaseBorrows& borrows = by_base_[base];
    if (std::int64_t* count = borrows.reads.find(entry)) {
        ++*count;
        return BorrowRefusal::None;
    }
    if (borrows.writes.meets(entry)) return BorrowRefusal::AlreadyBorrowed;
    borrows.reads.add(entry, 1);
    return BorrowRefusal::None;
}

BorrowRefusal BorrowRegistry::acquire_write(const void* base, const BorrowEntry& entry, bool writeable) {
    if (!writeable) return BorrowRefusal::NotWriteable;
    BaseBorrows& borrows = by_base_[base];
    if (borrows.reads.meets(entry) || borrows.writes.meets(entry)) return BorrowRefusal::AlreadyBorrowed;
    borrows.writes.add(entry, -1);
    return BorrowRefusal::None;
}

void BorrowRegistry::release(const void* base, const BorrowEntry& entry) noexcept {
    const auto it = by_base_.find(base);
    if (it == by_base_.end()) return;
    BaseBorrows& borrows = it->second;
    if (!borrows.reads.release(entry)) borrows.writes.release(entry);
    // A few empty bases are kept, so that the usual call, which borrows and releases the same few
    // arrays over and over, does not rebuild them.
    if (borrows.reads.empty() && borrows.writes.empty() && by_base_.size() > kRetainedBases) by_base_.erase(it);
}

BorrowRegistry& borrow_registry() {
    static BorrowRegistry* registry = new BorrowRegistry();  // lives until the process ends
    return *registry;
}

CallBorrows::~CallBorrows() {
    BorrowRegistry& registry = borrow_registry();
    if (has_write_) registry.release(write_.base, write_.entry);
    if (reverse_) {
        for (auto it = reads_.rbegin(); it != reads_.rend(); ++it) registry.release(it->base, it->entry);
    } else {
        for (const Taken& t : reads_) registry.release(t.base, t.entry);
    }
}

std::optional<std::string> CallBorrows::read(PyObject* array, const ArrayGeometry& geometry) {
    return take(array, geometry, false);
}
std::optional<std::string> CallBorrows::write(PyObject* array, const ArrayGeometry& geometry) {
    return take(array, geometry, true);
}

std::optional<std::string> CallBorrows::take(PyObject* array, const ArrayGeometry& geometry, bool write) {
    const Taken taken{base_of(api_, array), entry_of(geometry, write ? 4 : 2)};
    BorrowRefusal refusal;
    try {
        if (!write) reads_.reserve(reads_.size() + 1);  // taking must not fail after the registry took it
        refusal = write ? borrow_registry().acquire_write(taken.base, taken.entry,
                                                          (geometry.flags & kNpyArrayWriteable) != 0)
                        : borrow_registry().acquire_read(taken.base, taken.entry);
    } catch (const std::bad_alloc&) {
        return std::string(msg::kBorrowApiError) + ": out of memory";
    }
    if (refusal != BorrowRefusal::None) return refusal_message(refusal);
    if (write) {
        write_ = taken;
        has_write_ = true;
    } else {
        reads_.push_back(taken);
    }
    return std::nullopt;
}

}  // namespace vexlora
