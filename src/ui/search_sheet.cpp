#include "ui/search_sheet.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "base/application.h"
#include "definitions/category.h"
#include "family/family_mode.h"
#include "results/result_filter.h"
#include "ui/core_text.h"
#include "ui/user_message.h"

namespace tulix {
namespace {

constexpr int kLeastPerEngine = 10;
constexpr int kMostPerEngine = 200;
constexpr int kLeastShopping = 1;
constexpr int kMostShopping = 100;

QSlider* MakeSlider(int low, int high, QLabel* value) {
  auto* slider = new QSlider(Qt::Horizontal);
  slider->setRange(low, high);
  QObject::connect(slider, &QSlider::valueChanged, value,
                   [value](int v) { value->setNum(v); });
  return slider;
}

QWidget* SliderRow(QSlider* slider, QLabel* value) {
  auto* row = new QWidget;
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(slider, 1);
  value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("0000")));
  layout->addWidget(value);
  return row;
}

}  // namespace

SearchSheet::SearchSheet(QWidget* parent, const SearchSettings& settings, const QString& title)
    : QDialog(parent), m_edited(settings) {
  setWindowTitle(title);
  auto* general = new QWidget;
  auto* form = new QFormLayout(general);

  m_text = new QLineEdit(FromCoreText(settings.name == "_empty_" ? "" : settings.name));
  m_text->setObjectName(QStringLiteral("searchText"));
  form->addRow(QStringLiteral("Search For"), m_text);

  m_type = new QButtonGroup(this);
  auto* types = new QWidget;
  auto* typeRow = new QHBoxLayout(types);
  typeRow->setContentsMargins(0, 0, 0, 0);
  const char* typeNames[] = {"All Words", "Any Words", "Exact Phrase"};
  for (int type : {kSearchAllWords, kSearchAnyWords, kSearchExactPhrase}) {
    auto* button = new QRadioButton(QString::fromLatin1(typeNames[type]));
    m_type->addButton(button, type);
    typeRow->addWidget(button);
  }
  QAbstractButton* checked = m_type->button(settings.type);
  (checked != nullptr ? checked : m_type->button(kSearchAllWords))->setChecked(true);
  form->addRow(QString(), types);

  m_category = new QComboBox;
  m_category->setObjectName(QStringLiteral("category"));
  form->addRow(QStringLiteral("Category"), m_category);

  m_enginesValue = new QLabel;
  m_engines = MakeSlider(1, 1, m_enginesValue);
  m_engines->setObjectName(QStringLiteral("engineCount"));
  form->addRow(QStringLiteral("Search Engines"), SliderRow(m_engines, m_enginesValue));

  m_perEngineValue = new QLabel;
  m_perEngine = MakeSlider(kLeastPerEngine, kMostPerEngine, m_perEngineValue);
  m_perEngine->setObjectName(QStringLiteral("perEngine"));
  form->addRow(QStringLiteral("Results per Engine"), SliderRow(m_perEngine, m_perEngineValue));

  m_shopping = new QSlider(Qt::Horizontal);
  m_shopping->setObjectName(QStringLiteral("shopping"));
  m_shopping->setRange(kLeastShopping, kMostShopping);
  m_policy = new QLabel;
  m_policy->setWordWrap(true);
  auto* shoppingBox = new QGroupBox(QStringLiteral("Shopping"));
  auto* shoppingLayout = new QVBoxLayout(shoppingBox);
  shoppingLayout->addWidget(m_shopping);
  shoppingLayout->addWidget(m_policy);
  form->addRow(shoppingBox);

  FillCategories(settings.category);
  if (const Choice* chosen = ChosenCategory()) {
    m_engines->setValue(settings.engineCount > 0 ? settings.engineCount : chosen->engineCount);
    m_perEngine->setValue(settings.perEngine > 0 ? settings.perEngine : chosen->perEngine);
  }
  m_enginesValue->setNum(m_engines->value());
  m_perEngineValue->setNum(m_perEngine->value());
  m_shopping->setValue(std::clamp(settings.shopping, kLeastShopping, kMostShopping));
  ShowPolicy();
  connect(m_shopping, &QSlider::valueChanged, this, [this] { ShowPolicy(); });
  connect(m_category, &QComboBox::currentIndexChanged, this, [this] { CategoryChosen(); });

  auto* tabs = new QTabWidget;
  tabs->addTab(general, QStringLiteral("General"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &SearchSheet::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &SearchSheet::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addWidget(buttons);
}

void SearchSheet::FillCategories(const std::string& current) {
  const bool familyMode = IsFamilyModeOn();
  {
    auto hold = ReadCategoryTree();
    if (HasApp() && App().categoryTree != nullptr) {
      for (TreeNode* node : Tree::Collect(App().categoryTree->root(), true, true)) {
        auto* category = dynamic_cast<CategoryNode*>(node);
        if (category == nullptr || !category->IsUsable(familyMode)) {
          continue;
        }
        m_choices.push_back({category->name, FromCoreText(category->DisplayName()),
                             std::max(1, category->CountEngines(false)),
                             category->EngineCount(), category->PerEngine()});
      }
    }
  }
  int selected = 0;
  for (size_t i = 0; i < m_choices.size(); ++i) {
    m_category->addItem(m_choices[i].shown);
    if (m_choices[i].name == current) {
      selected = static_cast<int>(i);
    }
  }
  m_category->setCurrentIndex(m_choices.empty() ? -1 : selected);
  if (const Choice* chosen = ChosenCategory()) {
    m_engines->setMaximum(chosen->engines);
  }
}

const SearchSheet::Choice* SearchSheet::ChosenCategory() const {
  const int index = m_category->currentIndex();
  if (index < 0 || index >= static_cast<int>(m_choices.size())) {
    return nullptr;
  }
  return &m_choices[static_cast<size_t>(index)];
}

void SearchSheet::CategoryChosen() {
  if (const Choice* chosen = ChosenCategory()) {
    m_engines->setMaximum(chosen->engines);
    m_enginesValue->setNum(m_engines->value());
  }
}

void SearchSheet::ShowPolicy() {
  m_policy->setText(QString::fromLatin1(ShoppingPolicyText(ShoppingPolicyOf(m_shopping->value()))));
}

void SearchSheet::accept() {
  const QString text = m_text->text().trimmed();
  if (text.isEmpty()) {
    ShowUserMessage(this, QStringLiteral("No Search text entered"));
    m_text->setFocus();
    return;
  }
  m_edited.name = ToCoreText(text);
  m_edited.type = m_type->checkedId();
  if (const Choice* chosen = ChosenCategory()) {
    m_edited.category = chosen->name;
  }
  m_edited.engineCount = m_engines->value();
  m_edited.perEngine = m_perEngine->value();
  m_edited.shopping = m_shopping->value();
  QDialog::accept();
}

bool EditSearchSettings(QWidget* parent, SearchSettings& settings, const QString& title) {
  SearchSheet sheet(parent, settings, title);
  if (sheet.exec() != QDialog::Accepted) {
    return false;
  }
  settings = sheet.edited();
  return true;
}

}  // namespace tulix
