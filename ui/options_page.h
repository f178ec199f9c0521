#pragma once
// The Options page: what a window run converts, how outputs are named, the
// page-output mode and the auto-conversion period.

#include <QWidget>
#include <memory>

#include "shell/settings_file.h"
#include "ui/convert_page.h"
#include "ui/window_context.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;

namespace tarnwick::ui {

class OptionsPage : public QWidget {
  Q_OBJECT

 public:
  // Shows `stored`; its page-output mode goes straight into the conversion options.
  OptionsPage(const WindowContext& context, const shell::OptionsSettings& stored, QWidget* parent);

  // Reads the controls into the page values and sets the page-output mode.
  void apply();
  // The values the Convert page runs with, as last read.
  RunSwitches switches() const;
  // Reads the controls; the values to store, with the page-output mode the
  // conversion options hold now.
  shell::OptionsSettings valuesToSave();

 signals:
  // Start the auto-conversion timer with this period, or stop it.
  void armTimer(int minutes, bool enabled);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void buildControls();
  void showValues();
  // False when the minutes box held no integer.
  bool readControls();
  void sourceKindClicked();
  void autoClicked();

  const WindowContext context_;
  shell::OptionsSettings values_;
  int outputMode_ = 0;  // a stored mode without an entry stays until the user picks one

  QRadioButton* folderMode_ = nullptr;
  QRadioButton* fileMode_ = nullptr;
  QCheckBox* subfolders_ = nullptr;
  QCheckBox* keepDate_ = nullptr;
  QCheckBox* keepExtension_ = nullptr;
  QCheckBox* keepHierarchy_ = nullptr;
  QComboBox* outputCombo_ = nullptr;
  QCheckBox* auto_ = nullptr;
  QLineEdit* minutes_ = nullptr;
};

}  // namespace tarnwick::ui
