// Tips of the day: short hints read one at a time from "tips.txt" in the current folder, shown
// at start-up unless the user turned them off and from the Help menu.
//
// The file holds one tip per line; blank lines and lines that begin with ';' are skipped. The
// settings section "Tip" remembers where the next tip starts ("FilePos") and the file's
// modification time ("TimeStamp"); a file with another time is read from its start again, as
// its tips may have moved. "StartUp" is 0 while tips show at start-up.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

class QCheckBox;
class QLabel;

namespace tulix {

inline constexpr char kTipsFile[] = "tips.txt";

// The folder tips.txt is read from; empty (the default): the current folder. The program points
// it at its bundled data when the current folder has no tips file, since a program started from
// a desktop menu runs in the user's home folder.
void SetTipsFolder(std::string folder);
std::string TipsFilePath();

// Where the next tip is, as the settings keep it.
struct TipPosition {
  int64_t filePos = 0;
  std::string timeStamp;
};

enum class TipProblem {
  kNone,
  kMissingFile,  // "Tips file does not exist in the prescribed directory"
  kReadFailure,  // "Trouble reading the tips file"
};

struct TipOutcome {
  TipProblem problem = TipProblem::kNone;
  std::string tip;    // the tip's bytes, without its line end
  TipPosition next;   // where the tip after it starts
};

// The tip at `stored` in the file `path`: from its start when the file's time differs from the
// stored one or the position lies beyond its end, and wrapping to the first tip after the last.
TipOutcome ReadNextTip(const std::string& path, const TipPosition& stored);

// The message for a problem; empty for kNone.
QString TipProblemText(TipProblem problem);

// The "Tip" settings.
TipPosition LoadTipPosition();
void SaveTipPosition(const TipPosition& position);
bool TipsWanted();
void SetTipsWanted(bool wanted);

// "Tip of the Day": one tip, "Next Tip", and whether tips show at start-up. Each tip shown
// moves the stored position on.
class TipOfTheDayDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TipOfTheDayDialog(QWidget* parent);

  // Reads and shows the next tip; false (with the message shown) when there is none.
  bool ShowNextTip();

  QLabel* tip() const { return m_tip; }
  QCheckBox* showAtStartup() const { return m_startup; }

  // Both store whether tips show at start-up.
  void done(int result) override;

 private:
  QLabel* m_tip = nullptr;
  QCheckBox* m_startup = nullptr;
};

// Shows the dialog with the next tip; shows only the message when the file cannot be read.
void ShowTipOfTheDay(QWidget* parent);

}  // namespace tulix
