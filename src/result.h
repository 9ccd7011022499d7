// A value or an error text, the front end's way of reporting failures to its
// caller without exceptions.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace brain {

struct ErrorText {
  std::string message;
};

template <class T>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(ErrorText error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const std::string& error() const { return std::get<1>(v_).message; }

 private:
  std::variant<T, ErrorText> v_;
};

}  // namespace brain
