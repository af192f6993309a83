// Whether family mode is on: the one place the rest of the program asks.
//
// Thread safety: any thread may ask; the answer may change between two calls.
#pragma once

namespace tulix {

// True while family mode hides what is not family-safe; false when no application exists.
bool IsFamilyModeOn();

}  // namespace tulix
