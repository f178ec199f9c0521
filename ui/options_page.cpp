#include "ui/options_page.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ui/page_style.h"

namespace tarnwick::ui {
namespace {

template <typename T>
T* named(T* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

}  // namespace

OptionsPage::OptionsPage(const WindowContext& context, const shell::OptionsSettings& stored,
                         QWidget* parent)
    : QWidget(parent), context_(context), values_(stored), outputMode_(stored.ConvertFlag) {
  buildControls();
  showValues();
  ConversionOptions options = context_.options->get();
  options.ConvertFlag = uint8_t(stored.ConvertFlag);
  context_.options->set(options);
  subfolders_->setEnabled(folderMode_->isChecked());
  minutes_->setEnabled(!auto_->isChecked());
}

void OptionsPage::buildControls() {
  stylePage(this, Qt::white);
  auto* source = new QGroupBox("Source Options", this);
  folderMode_ = named(new QRadioButton("Convert Directory", source), "folderMode");
  fileMode_ = named(new QRadioButton("Convert File(s)", source), "fileMode");
  subfolders_ = named(new QCheckBox("Include subdir", source), "subdir");
  auto* sourceLayout = new QVBoxLayout(source);
  sourceLayout->addWidget(folderMode_);
  sourceLayout->addWidget(subfolders_);
  sourceLayout->addWidget(fileMode_);
  auto* kinds = new QButtonGroup(this);
  kinds->addButton(folderMode_);
  kinds->addButton(fileMode_);

  auto* destination = new QGroupBox("Destinaion Options", this);
  keepDate_ = named(new QCheckBox("Keep File Date and Time", destination), "keepDate");
  keepExtension_ = named(new QCheckBox("Include Source File Extention", destination), "keepExt");
  keepHierarchy_ = named(new QCheckBox("Keep Hiberarchy", destination), "hiberarchy");
  outputCombo_ = named(new QComboBox(destination), "outputMode");
  outputCombo_->addItems(
      {"Keep multiple pages in one tif file", "Split : a multi-page file to multiple tiff files"});
  auto* destinationLayout = new QVBoxLayout(destination);
  for (QWidget* w : {static_cast<QWidget*>(keepDate_), static_cast<QWidget*>(keepExtension_),
                     static_cast<QWidget*>(keepHierarchy_), static_cast<QWidget*>(outputCombo_)})
    destinationLayout->addWidget(w);

  auto* automatic = new QGroupBox("Auto Conversion", this);
  auto_ = named(new QCheckBox("Enable Conversion Automatically", automatic), "cyclely");
  minutes_ = named(new QLineEdit(automatic), "minutes");
  minutes_->setMaximumWidth(70);
  auto* every = new QHBoxLayout;
  every->addWidget(new QLabel("Convert every", automatic));
  every->addWidget(minutes_);
  every->addWidget(new QLabel("Minutes", automatic));
  every->addStretch();
  auto* autoLayout = new QVBoxLayout(automatic);
  autoLayout->addWidget(auto_);
  autoLayout->addLayout(every);

  auto* page = new QVBoxLayout(this);
  page->addWidget(source);
  page->addWidget(destination);
  page->addWidget(automatic);
  page->addStretch();

  connect(folderMode_, &QRadioButton::clicked, this, &OptionsPage::sourceKindClicked);
  connect(fileMode_, &QRadioButton::clicked, this, &OptionsPage::sourceKindClicked);
  connect(auto_, &QCheckBox::clicked, this, &OptionsPage::autoClicked);
  connect(outputCombo_, &QComboBox::activated, this, [this](int index) { outputMode_ = index; });
}

void OptionsPage::showValues() {
  (values_.DirFile == 1 ? fileMode_ : folderMode_)->setChecked(true);
  subfolders_->setChecked(values_.Subdir == 1);
  keepHierarchy_->setChecked(values_.Hiberarchy == 1);
  keepDate_->setChecked(values_.KeepDate == 1);
  keepExtension_->setChecked(values_.KeepExt == 1);
  auto_->setChecked(values_.Cyclely == 1);
  minutes_->setText(QString::number(values_.CycleMinutes));
  outputCombo_->setCurrentIndex(values_.ConvertFlag == 1 ? 1 : 0);
}

bool OptionsPage::readControls() {
  values_.DirFile = fileMode_->isChecked() ? 1 : 0;
  values_.Subdir = subfolders_->isChecked();
  values_.Hiberarchy = keepHierarchy_->isChecked();
  values_.KeepDate = keepDate_->isChecked();
  values_.KeepExt = keepExtension_->isChecked();
  values_.Cyclely = auto_->isChecked();
  return readNumberBox(minutes_, values_.CycleMinutes, context_.desktop);
}

void OptionsPage::apply() {
  (void)readControls();
  ConversionOptions options = context_.options->get();
  options.ConvertFlag = uint8_t(outputMode_);
  context_.options->set(options);
}

RunSwitches OptionsPage::switches() const {
  return {values_.DirFile == 1, values_.Subdir == 1, values_.Hiberarchy == 1, values_.KeepDate == 1,
          values_.KeepExt == 1};
}

shell::OptionsSettings OptionsPage::valuesToSave() {
  (void)readControls();
  shell::OptionsSettings out = values_;
  out.ConvertFlag = context_.options->get().ConvertFlag;
  return out;
}

void OptionsPage::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) apply();
  if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void OptionsPage::sourceKindClicked() {
  const bool folders = folderMode_->isChecked();
  for (QCheckBox* box : {subfolders_, keepHierarchy_, auto_}) {
    box->setChecked(false);
    box->setEnabled(folders);
  }
  autoClicked();
}

void OptionsPage::autoClicked() {
  minutes_->setEnabled(!auto_->isChecked());
  (void)readControls();
  emit armTimer(values_.CycleMinutes, auto_->isChecked());
}

}  // namespace tarnwick::ui
