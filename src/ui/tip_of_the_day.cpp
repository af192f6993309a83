#include "ui/tip_of_the_day.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>
#include <string_view>

#include "base/application.h"
#include "base/decimal_number.h"
#include "base/settings.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "ui/core_text.h"
#include "ui/user_message.h"

namespace tulix {
namespace {

std::string TipKey() {
  return std::string(kRegistryRoot) + "\\Tip";
}

bool IsTipLine(std::string_view line) {
  const size_t first = line.find_first_not_of(" \t");
  return first != std::string_view::npos && line[first] != ';';
}

// The first tip line at or after `pos`, up to the end of the text; false when there is none.
bool FindTip(std::string_view text, size_t pos, std::string* tip, size_t* next) {
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    const size_t after = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (IsTipLine(line)) {
      *tip = std::string(line);
      *next = after;
      return true;
    }
    pos = after;
  }
  return false;
}

// A folder or a device of that name is as unreadable as a file without rights.
bool ReadWholeFile(const std::string& path, std::string* text) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    return false;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) {
    return false;
  }
  *text = std::move(bytes).str();
  return true;
}

}  // namespace

TipOutcome ReadNextTip(const std::string& path, const TipPosition& stored) {
  TipOutcome outcome;
  outcome.next = stored;
  const auto modified = ModificationTimeOf(path);
  if (!modified) {
    outcome.problem = TipProblem::kMissingFile;
    return outcome;
  }
  std::string text;
  if (!ReadWholeFile(ToFileSystemPath(path), &text)) {
    outcome.problem = TipProblem::kReadFailure;
    return outcome;
  }
  const std::string stamp = DecimalText(*modified);
  size_t pos = 0;
  if (stamp == stored.timeStamp && stored.filePos > 0 &&
      stored.filePos < static_cast<int64_t>(text.size())) {
    pos = static_cast<size_t>(stored.filePos);
  }
  size_t next = 0;
  if (!FindTip(text, pos, &outcome.tip, &next) &&
      (pos == 0 || !FindTip(text, 0, &outcome.tip, &next))) {
    // A file without a single tip cannot give one.
    outcome.problem = TipProblem::kReadFailure;
    return outcome;
  }
  outcome.next = {static_cast<int64_t>(next), stamp};
  return outcome;
}

QString TipProblemText(TipProblem problem) {
  switch (problem) {
    case TipProblem::kNone:
      break;
    case TipProblem::kMissingFile:
      return QStringLiteral("Tips file does not exist in the prescribed directory");
    case TipProblem::kReadFailure:
      return QStringLiteral("Trouble reading the tips file");
  }
  return {};
}

TipPosition LoadTipPosition() {
  const RegistryStore& registry = App().registry();
  return {static_cast<int64_t>(registry.GetDword(TipKey(), "FilePos", 0)),
          registry.GetString(TipKey(), "TimeStamp", "")};
}

void SaveTipPosition(const TipPosition& position) {
  RegistryStore& registry = App().registry();
  registry.SetDword(TipKey(), "FilePos", static_cast<uint32_t>(position.filePos));
  registry.SetString(TipKey(), "TimeStamp", position.timeStamp);
}

bool TipsWanted() {
  return static_cast<int32_t>(App().registry().GetDword(TipKey(), "StartUp", 0)) <= 0;
}

void SetTipsWanted(bool wanted) {
  App().registry().SetDword(TipKey(), "StartUp", wanted ? 0 : 1);
}

TipOfTheDayDialog::TipOfTheDayDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Tip of the Day"));
  m_tip = new QLabel;
  m_tip->setObjectName(QStringLiteral("tip"));
  m_tip->setWordWrap(true);
  m_tip->setTextFormat(Qt::PlainText);
  m_tip->setMinimumWidth(m_tip->fontMetrics().averageCharWidth() * 50);
  m_startup = new QCheckBox(QStringLiteral("Show tips at startup"));
  m_startup->setObjectName(QStringLiteral("showAtStartup"));
  m_startup->setChecked(TipsWanted());
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
  QPushButton* next = buttons->addButton(QStringLiteral("&Next Tip"), QDialogButtonBox::ActionRole);
  connect(next, &QPushButton::clicked, this, [this] { ShowNextTip(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("<b>Did you know...</b>")));
  layout->addWidget(m_tip, 1);
  layout->addWidget(m_startup);
  layout->addWidget(buttons);
}

namespace {
std::string& TipsFolder() {
  static std::string folder;
  return folder;
}
}  // namespace

void SetTipsFolder(std::string folder) {
  TipsFolder() = std::move(folder);
}

std::string TipsFilePath() {
  return TipsFolder().empty() ? std::string(kTipsFile) : TipsFolder() + "/" + kTipsFile;
}

bool TipOfTheDayDialog::ShowNextTip() {
  const TipOutcome outcome = ReadNextTip(TipsFilePath(), LoadTipPosition());
  if (outcome.problem != TipProblem::kNone) {
    ShowUserMessage(this, TipProblemText(outcome.problem));
    return false;
  }
  m_tip->setText(FromCoreText(outcome.tip));
  SaveTipPosition(outcome.next);
  return true;
}

void TipOfTheDayDialog::done(int result) {
  SetTipsWanted(m_startup->isChecked());
  QDialog::done(result);
}

void ShowTipOfTheDay(QWidget* parent) {
  TipOfTheDayDialog dialog(parent);
  if (dialog.ShowNextTip()) {
    dialog.exec();
  }
}

}  // namespace tulix
