// One page of the options sheet. A page copies the settings into its fields when it is first
// shown (Load), checks its fields when the user leaves it or applies the sheet (Check), and
// copies its fields back into the settings when the sheet is applied (Apply). The sheet stores
// the settings after applying its pages.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QWidget>

namespace tulix {

class OptionsPage : public QWidget {
 public:
  using QWidget::QWidget;

  virtual void Load() = 0;
  // False, with the problem shown and the focus on the field, when a field is refused.
  virtual bool Check() { return true; }
  virtual void Apply() = 0;
  // Family pages open only through the family password while family mode is on.
  virtual bool IsFamilyPage() const { return false; }
};

}  // namespace tulix
