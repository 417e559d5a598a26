// The core library's general error: a message and the chain of its causes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "crypto/failure.hpp"

namespace quillet::sdk {

class Error {
 public:
  explicit Error(std::string message, std::vector<std::string> causes = {})
      : message_(std::move(message)), causes_(std::move(causes)) {}

  const std::string& message() const noexcept { return message_; }
  const std::vector<std::string>& causes() const noexcept { return causes_; }

  // The printed form: the message, then, if there are causes, a blank line,
  // "Caused by:" and one line per cause (numbered from 0 when there are
  // several). This is also the form a caller that stops hard shows.
  std::string to_string() const;

 private:
  std::string message_;
  std::vector<std::string> causes_;
};

template <class T>
using Result = Expected<T, Error>;

}  // namespace quillet::sdk
