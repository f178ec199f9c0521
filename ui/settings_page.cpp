#include "ui/settings_page.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
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

int resolutionIndex(int verticalResolution) {
  if (verticalResolution == 0) return 0;
  if (verticalResolution < 200) return 1;
  if (verticalResolution < 300) return 2;
  if (verticalResolution < 400) return 3;
  return 4;
}

}  // namespace

SettingsPage::SettingsPage(const WindowContext& context, const shell::DecodeSettings& stored,
                           QWidget* parent)
    : QWidget(parent), context_(context), values_(stored) {
  buildControls();
  showValues(context_.options->get().verticalResolution);
  minWidth_->setEnabled(nonStandard_->isChecked());
}

void SettingsPage::buildControls() {
  stylePage(this, Qt::white);
  auto* order = new QGroupBox("Set Bit Order", this);
  auto* orderLayout = new QVBoxLayout(order);
  auto* orders = new QButtonGroup(this);
  const char* orderNames[3] = {"Auto bit order", "Highest bit first", "Least bit first"};
  for (int i = 0; i < 3; ++i) {
    bitOrder_[i] = new QRadioButton(orderNames[i], order);
    bitOrder_[i]->setObjectName(QString("bitOrder%1").arg(i));
    orders->addButton(bitOrder_[i], i);
    orderLayout->addWidget(bitOrder_[i]);
  }

  auto* resolution = new QGroupBox("Set Resolution", this);
  resolution_ = named(new QComboBox(resolution), "resolution");
  resolution_->addItems({"Auto detect", "Standard (3.85lines/mm)", "Fine (7.7lines/mm)",
                         "SFine (11.55lines/mm)", "High (15.4lines/mm)"});
  auto* resolutionLayout = new QHBoxLayout(resolution);
  resolutionLayout->addWidget(new QLabel("Vertical", resolution));
  resolutionLayout->addWidget(resolution_, 1);

  auto* advanced = new QGroupBox("Advanced", this);
  threshold_ = named(new QLineEdit(advanced), "threshold");
  flagNum_ = named(new QLineEdit(advanced), "flagNum");
  raw_ = named(new QCheckBox("Raw Fax File", advanced), "rawFlag");
  recalculate_ = named(new QCheckBox("Re-caculate Scan Lines", advanced), "recaculate");
  nonStandard_ = named(new QCheckBox("Support none-standard width ", advanced), "nStdWidth");
  minWidth_ = named(new QLineEdit(advanced), "minWidth");
  for (QLineEdit* box : {threshold_, flagNum_, minWidth_}) box->setMaximumWidth(90);
  auto* grid = new QGridLayout(advanced);
  grid->addWidget(new QLabel("Threshold", advanced), 0, 0);
  grid->addWidget(threshold_, 0, 1);
  grid->addWidget(raw_, 0, 2);
  grid->addWidget(new QLabel("Flag Num", advanced), 1, 0);
  grid->addWidget(flagNum_, 1, 1);
  grid->addWidget(recalculate_, 1, 2);
  grid->addWidget(nonStandard_, 2, 0, 1, 2);
  auto* width = new QHBoxLayout;
  width->addWidget(new QLabel("Min Width", advanced));
  width->addWidget(minWidth_);
  width->addStretch();
  grid->addLayout(width, 2, 2);

  auto* top = new QHBoxLayout;
  top->addWidget(order);
  top->addWidget(resolution, 1);
  auto* page = new QVBoxLayout(this);
  page->addLayout(top);
  page->addWidget(advanced);
  page->addWidget(new QLabel(
      "These settings are useful to unknown fax conversion\nsuch as .g3,.g32d,.g4,.f01,...", this));
  page->addStretch();

  connect(nonStandard_, &QCheckBox::clicked, this,
          [this] { minWidth_->setEnabled(nonStandard_->isChecked()); });
}

void SettingsPage::showValues(int verticalResolution) {
  if (values_.AutoBit >= 0 && values_.AutoBit < 3) bitOrder_[values_.AutoBit]->setChecked(true);
  resolution_->setCurrentIndex(resolutionIndex(verticalResolution));
  threshold_->setText(QString::number(values_.Threshold));
  flagNum_->setText(QString::number(values_.FlagNum));
  minWidth_->setText(QString::number(values_.MinWidth));
  raw_->setChecked(values_.RawFlag == 1);
  recalculate_->setChecked(values_.Recaculate == 1);
  nonStandard_->setChecked(values_.NStdWidth == 1);
}

void SettingsPage::readControls() {
  if (!readNumberBox(threshold_, values_.Threshold, context_.desktop)) return;
  if (!readNumberBox(flagNum_, values_.FlagNum, context_.desktop)) return;
  if (!readNumberBox(minWidth_, values_.MinWidth, context_.desktop)) return;
  for (int i = 0; i < 3; ++i)
    if (bitOrder_[i]->isChecked()) values_.AutoBit = i;
  values_.NStdWidth = nonStandard_->isChecked();
  values_.RawFlag = raw_->isChecked();
  values_.Recaculate = recalculate_->isChecked();
}

void SettingsPage::apply() {
  readControls();
  ConversionOptions options = context_.options->get();
  options.AutoBit = uint8_t(values_.AutoBit);
  options.NStdWidth = uint8_t(values_.NStdWidth);
  options.MinWidth = uint16_t(values_.MinWidth);
  options.Threshold = uint16_t(values_.Threshold);
  options.FlagNum = uint8_t(values_.FlagNum);
  options.RawFlag = uint8_t(values_.RawFlag);
  options.Recaculate = uint8_t(values_.Recaculate);
  if (resolution_->currentIndex() >= 0)
    options.verticalResolution = uint16_t(resolution_->currentIndex() * 100);
  context_.options->set(options);
}

shell::DecodeSettings SettingsPage::valuesToSave() {
  readControls();
  return values_;
}

void SettingsPage::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) apply();
  if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace tarnwick::ui
