#pragma once

#include <optional>
#include <string>
#include <utility>

namespace krvctl {

// A value, or the reason there is none, worded for the engineer who typed it.
template <typename T>
class Result {
  public:
    static Result success(T value) { return Result(std::move(value), {}); }
    static Result failure(std::string problem) { return Result(std::nullopt, std::move(problem)); }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const { return *value_; }
    T& value() { return *value_; }
    const std::string& problem() const { return problem_; }

  private:
    Result(std::optional<T> value, std::string problem)
        : value_(std::move(value)), problem_(std::move(problem)) {}

    std::optional<T> value_;
    std::string problem_;
};

}  // namespace krvctl
