// hessian_exceptions.h - the failures a Hessian exchange reports to its caller.
#ifndef BE_HADOOP_HESSIAN_HESSIAN_EXCEPTIONS_H
#define BE_HADOOP_HESSIAN_HESSIAN_EXCEPTIONS_H

#include <stdexcept>
#include <string>

namespace hessian {
namespace exceptions {

// The data could not be exchanged: the connection was refused, broke or timed
// out, or the bytes received are not a well-formed Hessian document (truncated,
// a length that runs past the data, an unknown code). what() says which.
class io_exception : public std::runtime_error {
 public:
  explicit io_exception(const std::string& message);
  ~io_exception() override;
};

// An io_exception of one kind: the exchange ran out of its time limit
// (connection included) before a complete answer arrived. seconds() is the
// limit that was set.
class timeout_exception : public io_exception {
 public:
  timeout_exception(long seconds, const std::string& message);
  ~timeout_exception() override;
  long seconds() const { return seconds_; }

 private:
  long seconds_;
};

// The service answered with a Hessian fault. what() is the fault's message
// exactly as received (the code when the fault carried no message); code() is
// the fault's code, e.g. "ServiceException", empty when it had none.
class fault_exception : public std::runtime_error {
 public:
  fault_exception(const std::string& code, const std::string& message);
  ~fault_exception() override;
  const std::string& code() const { return code_; }

 private:
  std::string code_;
};

}  // namespace exceptions
}  // namespace hessian

#endif  // BE_HADOOP_HESSIAN_HESSIAN_EXCEPTIONS_H
