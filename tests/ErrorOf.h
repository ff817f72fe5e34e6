// The message of the error a call raises, or "no error": how the tests compare failures
// with the texts the user reads.
#pragma once

#include <functional>
#include <string>

#include "rtl/SysUtils.h"

inline std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "no error";
}
