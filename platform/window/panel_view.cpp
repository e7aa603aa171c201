// Builds the widgets of a panel from its description and applies values to them. The
// panel file places every control by pixels from the panel's top-left corner; labels
// go above numerics and beside lamps and check boxes, where an operator looks for them.
#include "platform/window/panel_view.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QLocale>
#include <QSignalBlocker>
#include <QStyle>
#include <climits>
#include <cmath>
#include <cstdint>

#include "platform/window/led.h"
#include "platform/host/host.h"

namespace vx::win {

namespace {

constexpr int kLabelHeight = 16;
constexpr int kLabelGap = 2;

bool is_progress(const rt::ControlSpec& c) {
  return c.kind == rt::Kind::NumericDisplay && c.name == "PANEL_PROGRESS";
}

QString tooltip_of(const rt::ControlSpec& c) {
  return QString::fromStdString(c.tooltip.empty() ? c.label : c.tooltip);
}

}  // namespace

QString format_value(const rt::ControlSpec& control, const rt::Value& v) {
  switch (control.format) {
    case rt::Format::Hex: {
      const auto word = static_cast<std::uint32_t>(v.type == rt::DataType::Int
                                                       ? v.i
                                                       : static_cast<long long>(v.number()));
      return QStringLiteral("0x") + QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0')).toUpper();
    }
    case rt::Format::Fixed:
      return QString::number(v.number(), 'f', std::max(0, control.precision));
    case rt::Format::Decimal:
      break;
  }
  if (v.type == rt::DataType::Int) return QString::number(v.i);
  return QString::number(v.number(), 'g', 10);
}

PanelView::PanelView(const rt::PanelSpec& description, QWidget* parent)
    : QWidget(parent), panel_(description) {
  setObjectName(QString::fromStdString(panel_.name.empty() ? "panel" : panel_.name));
  setFixedSize(std::max(panel_.width, 100), std::max(panel_.height, 60));
  // Groups first, so that the controls lying over them stay on top.
  for (const rt::GroupSpec& g : panel_.groups) build_group(g);
  for (const rt::ControlSpec& c : panel_.controls) build_control(c);
}

QWidget* PanelView::widget(int id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : it->second.widget;
}

const rt::ControlSpec* PanelView::control(int id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : it->second.control;
}

void PanelView::build_group(const rt::GroupSpec& g) {
  auto* box = new QGroupBox(QString::fromStdString(g.label), this);
  box->setObjectName(QString::fromStdString(g.name));
  box->setGeometry(g.left, g.top, g.width, g.height);
}

void PanelView::add_label_above(const rt::ControlSpec& c) {
  if (c.label.empty()) return;
  auto* l = new QLabel(QString::fromStdString(c.label), this);
  l->setProperty("role", "caption");
  const int w = std::max(c.width, l->sizeHint().width());
  l->setGeometry(c.left, c.top - kLabelHeight - kLabelGap, w, kLabelHeight);
  l->setToolTip(tooltip_of(c));
}

void PanelView::add_label_beside(const rt::ControlSpec& c, int gap) {
  if (c.label.empty()) return;
  auto* l = new QLabel(QString::fromStdString(c.label), this);
  l->setGeometry(c.left + c.width + gap, c.top + (c.height - kLabelHeight) / 2, l->sizeHint().width(),
                 kLabelHeight);
  l->setToolTip(tooltip_of(c));
}

void PanelView::build_control(const rt::ControlSpec& c) {
  const QString name = QString::fromStdString(c.name);
  const QString label = QString::fromStdString(c.label);
  QWidget* w = nullptr;
  switch (c.kind) {
    case rt::Kind::Timer:
      return;  // timers tick in the run-time; there is nothing to see
    case rt::Kind::Command: {
      auto* b = new QPushButton(label, this);
      b->setAutoDefault(false);
      b->setFocusPolicy(Qt::TabFocus);
      if (c.name.find("STOP") != std::string::npos || c.name.find("QUIT") != std::string::npos)
        b->setProperty("role", "halt");
      else if (c.name.find("START") != std::string::npos)
        b->setProperty("role", "start");
      const int id = c.id;
      connect(b, &QPushButton::clicked, this, [this, id] { emit committed(id); });
      w = b;
      break;
    }
    case rt::Kind::Indicator: {
      w = new Led(this);
      add_label_beside(c, 6);
      break;
    }
    case rt::Kind::Toggle: {
      auto* cb = new QCheckBox(label, this);
      const int id = c.id;
      connect(cb, &QCheckBox::toggled, this, [this, id](bool on) { emit edited(id, on ? 1 : 0); });
      cb->setGeometry(c.left, c.top + (c.height - cb->sizeHint().height()) / 2,
                      std::max(c.width, cb->sizeHint().width()), cb->sizeHint().height());
      w = cb;
      break;
    }
    case rt::Kind::NumericInput: {
      const int id = c.id;
      auto* e = new QLineEdit(this);
      e->setProperty("role", "input");
      e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      connect(e, &QLineEdit::textEdited, this, [this, id](const QString& t) { typed(id, t); });
      // A finished edit that is valid is the new starting point of the next one.
      connect(e, &QLineEdit::editingFinished, this, [this, id] {
        if (!invalid(id)) before_.erase(id);
      });
      w = e;
      problems_[id];
      add_label_above(c);
      break;
    }
    case rt::Kind::NumericDisplay: {
      if (is_progress(c)) {
        auto* bar = new QProgressBar(this);
        bar->setRange(0, 1000);
        bar->setTextVisible(true);
        bar->setAlignment(Qt::AlignCenter);
        w = bar;
      } else {
        auto* e = new QLineEdit(this);
        e->setReadOnly(true);
        e->setFocusPolicy(Qt::NoFocus);
        e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        e->setProperty("role", "readout");
        w = e;
      }
      add_label_above(c);
      break;
    }
  }
  w->setObjectName(name);
  w->setToolTip(tooltip_of(c));
  if (c.kind != rt::Kind::Toggle) w->setGeometry(c.left, c.top, std::max(c.width, 8), std::max(c.height, 8));
  entries_[c.id] = {&c, w};
  // The reader keeps an int control's initial value within int; a double's may be far
  // outside it.
  rt::Value initial;
  initial.type = c.type;
  if (c.type == rt::DataType::Int) initial.i = static_cast<int>(c.initial);
  initial.d = c.initial;
  show_value(c.id, initial);
}

void PanelView::show_value(int id, const rt::Value& v) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  const rt::ControlSpec& c = *it->second.control;
  QWidget* w = it->second.widget;
  const QSignalBlocker block(w);
  switch (c.kind) {
    case rt::Kind::Timer:
    case rt::Kind::Command:
      return;
    case rt::Kind::Indicator:
      static_cast<Led*>(w)->setOn(v.number() != 0);
      return;
    case rt::Kind::Toggle:
      static_cast<QCheckBox*>(w)->setChecked(v.number() != 0);
      return;
    case rt::Kind::NumericInput: {
      // The value the program holds already: what the operator typed stays as typed.
      auto known = valid_.find(id);
      if (known != valid_.end() && known->second == v.number()) return;
      valid_[id] = v.number();
      QString text = format_value(c, v);
      if (c.format == rt::Format::Fixed || c.type == rt::DataType::Double)
        text = QLocale().toString(v.number(), 'f', std::max(0, c.precision));
      static_cast<QLineEdit*>(w)->setText(text);
      if (invalid(id)) emit marked(id, QString());
      mark(id, QString());
      return;
    }
    case rt::Kind::NumericDisplay:
      if (auto* bar = qobject_cast<QProgressBar*>(w)) {
        const double pct = std::isfinite(v.number()) ? std::clamp(v.number(), 0.0, 100.0) : 0.0;
        bar->setValue(static_cast<int>(std::lround(pct * 10)));
        bar->setFormat(format_value(c, v) + QStringLiteral(" %"));
      } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
        const QString text = format_value(c, v);
        if (e->text() != text) e->setText(text);
      }
      return;
  }
}

void PanelView::set_stale(bool stale) {
  if (stale_ == stale) return;
  stale_ = stale;
  for (const auto& [id, e] : entries_) {
    if (e.control->group.rfind("AXIS_", 0) != 0) continue;
    if (auto* led = qobject_cast<Led*>(e.widget)) {
      led->setStale(stale);
    } else if (e.control->kind == rt::Kind::NumericDisplay) {
      e.widget->setProperty("stale", stale);
      e.widget->style()->unpolish(e.widget);
      e.widget->style()->polish(e.widget);
    }
  }
}

void PanelView::typed(int id, const QString& text) {
  const rt::ControlSpec* c = control(id);
  if (!c) return;
  const QString point = QLocale().decimalPoint();
  const host::Checked r = host::check_text(text.toStdString(), *c, point.isEmpty() ? '.' : point.at(0).toLatin1());
  // The digits typed on the way to a number are numbers too ("1" of "1e9"): text that
  // ends invalid gives the program back the value it had before the edit began.
  const double before = before_.emplace(id, valid_[id]).first->second;
  if (r.ok) {
    valid_[id] = r.value;
    mark(id, QString());
    emit edited(id, r.value);
    emit marked(id, QString());
    emit accepted(id);
    return;
  }
  if (valid_[id] != before) {
    valid_[id] = before;
    emit edited(id, before);
  }
  const QString problem = tr("%1: not used; what reads it is refused").arg(QString::fromStdString(r.reason));
  mark(id, problem);
  emit marked(id, QString::fromStdString(r.reason));
  emit refused(id, problem);
}

// The mark is the field's own colour and its tooltip, never a tag laid over its
// neighbours: the reason itself stands in the status bar, a fixed place.
void PanelView::mark(int id, const QString& problem) {
  auto e = entries_.find(id);
  auto p = problems_.find(id);
  if (e == entries_.end() || p == problems_.end()) return;
  QWidget* w = e->second.widget;
  const bool bad = !problem.isEmpty();
  if (w->property("invalid").toBool() != bad) {
    w->setProperty("invalid", bad);
    w->style()->unpolish(w);
    w->style()->polish(w);
  }
  w->setToolTip(bad ? problem : tooltip_of(*e->second.control));
  p->second = problem;
}

QString PanelView::problem_text(int id) const {
  auto p = problems_.find(id);
  return p == problems_.end() ? QString() : p->second;
}

}  // namespace vx::win
