#include "compose/slots.h"

namespace compose {

SlotSet::SlotSet()
    : picLoad{platform::Surface(165, 165, true), platform::Surface(88, 31, true),
              platform::Surface(165, 165, false)},
      picTemp(184, 159, true) {}

}  // namespace compose
