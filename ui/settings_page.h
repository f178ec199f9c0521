#pragma once
// The Settings page: the decoding settings, which matter mostly for raw fax
// streams.

#include <QWidget>

#include "shell/settings_file.h"
#include "ui/window_context.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;

namespace tarnwick::ui {

class SettingsPage : public QWidget {
  Q_OBJECT

 public:
  // Shows `stored`; the conversion options take the values when applied.
  SettingsPage(const WindowContext& context, const shell::DecodeSettings& stored, QWidget* parent);

  // Reads the controls into the page values and sets the conversion options
  // from them; the options keep the low 16 bits of Threshold and MinWidth and
  // the low 8 of FlagNum.
  void apply();
  // Reads the controls; the values to store.
  shell::DecodeSettings valuesToSave();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void buildControls();
  void showValues(int verticalResolution);
  // Reads in the order Threshold, Flag Num, Min Width, bit order and the
  // three check boxes; stops at a number box holding no integer.
  void readControls();

  const WindowContext context_;
  shell::DecodeSettings values_;

  QRadioButton* bitOrder_[3] = {};
  QComboBox* resolution_ = nullptr;
  QLineEdit* threshold_ = nullptr;
  QLineEdit* flagNum_ = nullptr;
  QCheckBox* raw_ = nullptr;
  QCheckBox* recalculate_ = nullptr;
  QCheckBox* nonStandard_ = nullptr;
  QLineEdit* minWidth_ = nullptr;
};

}  // namespace tarnwick::ui
