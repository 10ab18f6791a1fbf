#include "randomx/dataset_code.h"

#include <algorithm>
#include <new>

#include "randomx/arch.h"

namespace rx {
namespace {

template <class Function>
Function entry(const std::uint8_t* code, std::size_t offset) {
    if (offset == SIZE_MAX) return nullptr;
    return reinterpret_cast<Function>(const_cast<std::uint8_t*>(code + offset));
}

}  // namespace

bool DatasetCode::compile(const std::array<SuperscalarProgram, kCacheAccesses>& programs) noexcept {
    item_ = nullptr;
    range_ = nullptr;
    pair_ = nullptr;
    triple_ = nullptr;
    if (!compiled_code_runs()) return false;
    // Written once per key: the mprotect mechanism costs nothing here, and
    // leaves no writable mapping of the code while it can run.
    if (memory_.size() == 0 && !memory_.allocate(code_bytes_, CodeMemory::Mechanism::Mprotect)) return false;
    if (!memory_.begin_write()) return false;
    Entries entries;
    const std::size_t capacity = std::min(code_bytes_, memory_.size());
    const std::size_t size = writer_(programs, memory_.writable(), capacity, memory_.executable(), entries);
    // Code that did not fit is incomplete: the portable executors run.
    if (size == 0 || entries.item == no_entry || entries.range == no_entry || !memory_.finish_write(size)) {
        return false;
    }
    const std::uint8_t* code = memory_.executable();
    range_unit_ = entries.range_unit;
    range_ = entry<RangeFunction>(code, entries.range);
    pair_ = entry<PairFunction>(code, entries.pair);
    triple_ = entry<TripleFunction>(code, entries.triple);
    item_ = entry<ItemFunction>(code, entries.item);
    return true;
}

std::unique_ptr<DatasetCode> make_dataset_code() noexcept {
    const DatasetCodeWriter writer = dataset_code_writer();
    if (writer.write == nullptr) return nullptr;
    return std::unique_ptr<DatasetCode>(new (std::nothrow) DatasetCode(writer.code_bytes, writer.write));
}

}  // namespace rx
