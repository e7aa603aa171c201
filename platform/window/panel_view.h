// A panel drawn from its description: one widget per control at the place the panel
// file gives it (buttons, lamps, spin boxes, read-outs, check boxes, a progress bar),
// the group boxes behind them and the labels and tooltips that say what each one is.
//
// The view knows nothing of the run-time: it reports what the operator does (a click,
// a typed value) as signals and shows the values it is handed. A numeric input shows
// exactly what is typed; text that is no number in the control's range is marked
// invalid, with the reason under it, and reported as such (marked), so that the host
// refuses every command that reads it. Values it is handed are
// applied with the widget's signals blocked, so a program write never comes back as
// operator input.
#pragma once

#include <QString>
#include <QWidget>
#include <map>

class QLabel;

#include "platform/panelfile/panel_file.h"
#include "platform/runtime/runtime.h"

namespace vx::win {

// How a numeric read-out shows a value: Hex gives the 8 digits of the 32-bit word,
// Fixed the file's digits after the point.
QString format_value(const rt::ControlSpec& control, const rt::Value& v);

class PanelView final : public QWidget {
  Q_OBJECT

 public:
  explicit PanelView(const rt::PanelSpec& description, QWidget* parent = nullptr);

  void show_value(int id, const rt::Value& v);

  // The widget standing for a control; nullptr for timers and unknown ids. Widgets are
  // also named after their control ("PANEL_TARGET_X") for findChild.
  QWidget* widget(int id) const;
  const rt::ControlSpec* control(int id) const;
  const rt::PanelSpec& description() const { return panel_; }

  QSize sizeHint() const override { return minimumSize(); }

  // Marks the stages' displays (the read-outs and lamps of the axis groups) as possibly
  // old: the program has not refreshed them for a while.
  void set_stale(bool stale);
  bool stale() const { return stale_; }

  // Whether a numeric input holds text the program does not read, and why.
  bool invalid(int id) const { return !problem_text(id).isEmpty(); }
  QString problem_text(int id) const;

 signals:
  void committed(int id);
  void edited(int id, double value);
  // Typed text that is not used; `reason` says why, and what the program reads instead.
  void refused(int id, const QString& reason);
  void accepted(int id);
  // An input holds text the program does not read, for `reason`; empty: it holds a
  // valid value again.
  void marked(int id, const QString& reason);

 private:
  void build_group(const rt::GroupSpec& g);
  void build_control(const rt::ControlSpec& c);
  void add_label_above(const rt::ControlSpec& c);
  void add_label_beside(const rt::ControlSpec& c, int gap);
  void typed(int id, const QString& text);
  void mark(int id, const QString& problem);

  struct Entry {
    const rt::ControlSpec* control;  // in panel_
    QWidget* widget;  // owned by this view (Qt parent)
  };
  rt::PanelSpec panel_;
  std::map<int, Entry> entries_;
  std::map<int, double> valid_;       // numeric inputs: the value the program reads
  std::map<int, double> before_;      // numeric inputs being edited: the value before the edit
  bool stale_ = false;
  std::map<int, QString> problems_;   // numeric inputs: why the text is not used; empty when it is
};

}  // namespace vx::win
