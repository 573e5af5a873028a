#include "hessian_exceptions.h"

namespace hessian {
namespace exceptions {

io_exception::io_exception(const std::string& message) : std::runtime_error(message) {}
io_exception::~io_exception() = default;

timeout_exception::timeout_exception(long seconds, const std::string& message)
    : io_exception(message), seconds_(seconds) {}
timeout_exception::~timeout_exception() = default;

fault_exception::fault_exception(const std::string& code, const std::string& message)
    : std::runtime_error(message.empty() ? code : message), code_(code) {}
fault_exception::~fault_exception() = default;

}  // namespace exceptions
}  // namespace hessian
