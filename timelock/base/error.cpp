#include "timelock/base/error.h"

#include <cstring>

namespace zt {

Error Error::from_errno(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return Error(std::string(text) + " (os error " + std::to_string(errnum) + ")");
}

Error Error::context(std::string outer) const {
    std::vector<std::string> chain;
    chain.reserve(causes_.size() + 1);
    chain.push_back(message_);
    chain.insert(chain.end(), causes_.begin(), causes_.end());
    return Error(std::move(outer), std::move(chain));
}

}  // namespace zt
