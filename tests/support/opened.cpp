#include "tests/support/opened.h"

#include <stdexcept>

namespace zt::test {
namespace {

template <typename T>
T opened(Result<T> result, const std::string& path) {
    if (!result) throw std::runtime_error("cannot open " + path + ": " + result.error().message());
    return std::move(result).value();
}

}  // namespace

file_io::Dir dir_at(const std::string& path) { return opened(file_io::open_directory(path), path); }

OutputTarget target_at(const std::string& path) { return opened(OutputTarget::open("--output", path), path); }

StateDir state_at(const std::string& path) { return opened(StateDir::open(path, /*create=*/true), path); }

}  // namespace zt::test
