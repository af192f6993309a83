#include "family/family_mode.h"

#include "base/application.h"

namespace tulix {

bool IsFamilyModeOn() {
  return HasApp() && App().familyModeOn.load(std::memory_order_acquire);
}

}  // namespace tulix
