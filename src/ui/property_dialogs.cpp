#include "ui/property_dialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>

#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "definitions/search_folder.h"
#include "ui/core_text.h"

namespace tulix {
namespace {

// Orders run from 0 up; renumbering gives 100, 200, ..., so a thousand covers the usual
// categories, and the slider grows for an engine already placed further down.
constexpr int kLowestPriorityOrder = 1000;
constexpr int kLeastPerEngine = 10;
constexpr int kMostPerEngine = 200;

QDialogButtonBox* OkCancel(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

QPlainTextEdit* ReadOnlyText(const std::string& text) {
  auto* edit = new QPlainTextEdit(FromCoreText(text));
  edit->setReadOnly(true);
  edit->setMaximumHeight(edit->fontMetrics().lineSpacing() * 4);
  return edit;
}

QCheckBox* Check(const char* text, const char* objectName, bool checked) {
  auto* box = new QCheckBox(QString::fromLatin1(text));
  box->setObjectName(QString::fromLatin1(objectName));
  box->setChecked(checked);
  return box;
}

// A slider with the value it stands at written beside it.
QSlider* ValueSlider(QFormLayout* form, const char* label, const char* objectName, int low,
                     int high, int value) {
  auto* slider = new QSlider(Qt::Horizontal);
  slider->setObjectName(QString::fromLatin1(objectName));
  slider->setRange(low, high);
  slider->setValue(value);
  auto* shown = new QLabel(QString::number(slider->value()));
  QObject::connect(slider, &QSlider::valueChanged, shown, [shown](int v) { shown->setNum(v); });
  auto* row = new QHBoxLayout;
  row->addWidget(slider, 1);
  row->addWidget(shown);
  form->addRow(QString::fromLatin1(label), row);
  return slider;
}

}  // namespace

EnginePropertiesDialog::EnginePropertiesDialog(QWidget* parent, EngineDefinition& engine)
    : QDialog(parent), m_engine(engine) {
  setWindowTitle(QStringLiteral("Search Engine Properties"));
  const auto data = engine.Data();
  auto* form = new QFormLayout;
  form->addRow(new QLabel(FromCoreText(engine.DisplayName())));
  m_familySafe = Check("Family Safe", "familySafe", data->familySafe != 0);
  form->addRow(m_familySafe);

  m_priority = new QSlider(Qt::Horizontal);
  m_priority->setObjectName(QStringLiteral("priority"));
  m_priority->setRange(0, std::max(kLowestPriorityOrder, data->order));
  m_priority->setSingleStep(10);
  m_priority->setPageStep(100);
  m_priority->setValue(data->order);
  auto* priorityRow = new QHBoxLayout;
  priorityRow->addWidget(new QLabel(QStringLiteral("High")));
  priorityRow->addWidget(m_priority, 1);
  priorityRow->addWidget(new QLabel(QStringLiteral("Low")));
  form->addRow(QStringLiteral("Engine Priority"), priorityRow);

  m_domains = new QLineEdit(FromCoreText(data->domains));
  m_domains->setObjectName(QStringLiteral("domains"));
  form->addRow(QStringLiteral("Limit searches to these domains (comma-separated)"), m_domains);
  m_keywords = ReadOnlyText(data->keywords);
  form->addRow(QStringLiteral("Key Words"), m_keywords);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(OkCancel(this));
}

void EnginePropertiesDialog::accept() {
  // The priority is taken over too: a slider the user moves must change something, and Order
  // is one of the engine's own values kept beside FamilySafe and Domains.
  m_engine.SetUserValues(m_familySafe->isChecked() ? 1 : 0, m_priority->value(),
                         ToCoreText(m_domains->text().trimmed()));
  m_engine.SaveUserValues();
  QDialog::accept();
}

CategoryPropertiesDialog::CategoryPropertiesDialog(QWidget* parent, CategoryNode& category)
    : QDialog(parent), m_category(category) {
  setWindowTitle(QStringLiteral("Search Category Properties"));
  auto hold = ReadCategoryTree();
  auto* form = new QFormLayout;
  form->addRow(new QLabel(FromCoreText(category.DisplayName())));
  const int engines = category.EngineCount();
  m_engineCount = ValueSlider(form, "Search Engines", "engineCount", 1,
                              std::max({1, category.CountEngines(false), engines}), engines);
  m_perEngine = ValueSlider(form, "Results per Engine", "perEngine", kLeastPerEngine,
                            std::max(kMostPerEngine, category.PerEngine()), category.PerEngine());
  m_familySafe = Check("Show in Family Mode", "familySafe", category.familySafe != 0);
  form->addRow(m_familySafe);
  m_domainLimited = Check("Only use search engines relevant to your domain details.",
                          "domainLimited", category.domainLimited != 0);
  form->addRow(m_domainLimited);
  m_keywords = ReadOnlyText(category.keywords);
  form->addRow(QStringLiteral("Key Words"), m_keywords);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(OkCancel(this));
}

void CategoryPropertiesDialog::accept() {
  {
    auto hold = ChangeCategoryTree();
    m_category.engineCount = m_engineCount->value();
    m_category.perEngine = m_perEngine->value();
    m_category.familySafe = m_familySafe->isChecked() ? 1 : 0;
    m_category.domainLimited = m_domainLimited->isChecked() ? 1 : 0;
    m_category.Save();
  }
  QDialog::accept();
}

SearchFolderPropertiesDialog::SearchFolderPropertiesDialog(QWidget* parent, SearchFolder& folder)
    : QDialog(parent), m_folder(folder) {
  setWindowTitle(QStringLiteral("Search Folder Properties"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(FromCoreText(folder.DisplayName())));
  m_familySafe = Check("Family Safe", "familySafe", folder.familySafe != 0);
  layout->addWidget(m_familySafe);
  layout->addWidget(OkCancel(this));
}

void SearchFolderPropertiesDialog::accept() {
  m_folder.familySafe = m_familySafe->isChecked() ? 1 : 0;
  m_folder.Save();
  QDialog::accept();
}

bool EditEngineProperties(QWidget* parent, EngineDefinition& engine) {
  EnginePropertiesDialog dialog(parent, engine);
  return dialog.exec() == QDialog::Accepted;
}

bool EditCategoryProperties(QWidget* parent, CategoryNode& category) {
  CategoryPropertiesDialog dialog(parent, category);
  return dialog.exec() == QDialog::Accepted;
}

bool EditSearchFolderProperties(QWidget* parent, SearchFolder& folder) {
  SearchFolderPropertiesDialog dialog(parent, folder);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace tulix
