#include "model/ombrel_error.h"

#include <utility>

namespace ombrel {

ombrel_error::ombrel_error(std::string message) : ombrel_error(std::move(message), DEFAULT_CODE) {}

ombrel_error::ombrel_error(std::string message, int32_t code)
    : message_(std::move(message)), code_(code) {}

const char* ombrel_error::what() const noexcept { return message_.c_str(); }

}  // namespace ombrel
