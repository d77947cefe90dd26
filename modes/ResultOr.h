// The system's operations answer with a result, never with an exception: what a call
// throws (memory running out, in practice) becomes the failure its caller already handles.
#pragma once

#include <utility>

template <class Result, class Call>
Result ResultOr(Result failure, Call&& call) noexcept {
  try {
    return std::forward<Call>(call)();
  } catch (...) {
    return failure;
  }
}
