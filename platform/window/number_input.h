// What a numeric input's text means, as the window reads what the operator types: a
// number in the control's range, with the locale's decimal separator as the decimal
// point, a whole number for an int control; anything else is refused with the reason,
// never turned into some other number.
#pragma once

#include <string>
#include <string_view>

#include "platform/runtime/panel_model.h"

namespace vx::win {

struct NumberCheck {
  bool ok = false;
  double value = 0;
  std::string reason;  // why it is refused, in plain words; empty when ok
};

// `decimal_point` is the locale's separator ('.' or ','); the other one is refused.
NumberCheck check_number(std::string_view text, const rt::ControlSpec& control, char decimal_point);

}  // namespace vx::win
