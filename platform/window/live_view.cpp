// Lays out the activity line with Stop all, the emergency-stop banner and the three
// live readouts. The live readouts are amber on black, unlike the program's green
// read-outs, and captioned "live", so that nobody takes one for the other.
#include "platform/window/live_view.h"

#include <QGridLayout>
#include <algorithm>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QStyle>
#include <QToolButton>
#include <QPushButton>
#include <QVBoxLayout>

namespace vx::win {

void set_text(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

LiveView::LiveView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("live"));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 6, 8, 4);
  outer->setSpacing(4);

  auto* top = new QHBoxLayout;
  auto* doing = new QVBoxLayout;
  doing->setSpacing(0);
  activity_ = new QLabel(tr("Starting"), this);
  activity_->setObjectName(QStringLiteral("activity"));
  activity_->setToolTip(tr("What the program is doing now, with its time so far and when it gives up"));
  queued_ = new QLabel(tr("queued: nothing"), this);
  queued_->setObjectName(QStringLiteral("queued"));
  queued_->setToolTip(tr("The commands waiting for the program, in the order it will take them"));
  queued_->setWordWrap(false);
  queued_->setMinimumWidth(0);
  queued_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  withdraw_ = new QToolButton(this);
  withdraw_->setObjectName(QStringLiteral("withdraw"));
  withdraw_->setText(tr("&Withdraw…"));
  withdraw_->setToolTip(tr("Take a queued command back before the program runs it"));
  withdraw_->setPopupMode(QToolButton::InstantPopup);
  withdraw_->setFocusPolicy(Qt::TabFocus);
  withdraw_menu_ = new QMenu(withdraw_);
  withdraw_menu_->setObjectName(QStringLiteral("withdrawMenu"));
  withdraw_->setMenu(withdraw_menu_);
  withdraw_->setEnabled(false);
  auto* queue_row = new QHBoxLayout;
  queue_row->setSpacing(6);
  queue_row->addWidget(withdraw_);
  queue_row->addWidget(queued_, 1);
  age_ = new QLabel(this);
  age_->setObjectName(QStringLiteral("age"));
  age_->setToolTip(tr("The panel's own displays are refreshed by the program only between commands; "
                      "the live readouts are current"));
  queue_row->addWidget(age_);
  doing->addWidget(activity_);
  doing->addLayout(queue_row);
  top->addLayout(doing, 1);
  // The banner stands in the top row, between the activity and Stop all, so that
  // nothing below moves when the emergency stop is engaged or released.
  banner_ = new QWidget(this);
  banner_->setObjectName(QStringLiteral("estopBanner"));
  banner_->setAttribute(Qt::WA_StyledBackground);
  auto* b = new QHBoxLayout(banner_);
  b->setContentsMargins(10, 2, 6, 2);
  auto* said = new QLabel(tr("EMERGENCY STOP ENGAGED\nno stage moves until it is released"), banner_);
  said->setObjectName(QStringLiteral("estopText"));
  b->addWidget(said, 1);
  release_ = new QPushButton(tr("Re&lease"), banner_);
  release_->setObjectName(QStringLiteral("release"));
  release_->setToolTip(tr("Lift the emergency stop; nothing moves by itself afterwards"));
  b->addWidget(release_);
  banner_->hide();
  top->addWidget(banner_);
  stop_all_ = new QPushButton(tr("Stop &all (Esc)"), this);
  stop_all_->setObjectName(QStringLiteral("stopAll"));
  stop_all_->setToolTip(tr("Emergency stop: stop all three stages at once and hold them until released"));
  stop_all_->setFocusPolicy(Qt::TabFocus);
  stop_all_->setMinimumHeight(38);
  top->addWidget(stop_all_);
  outer->addLayout(top);
  // The row keeps the height of the taller of the two states.
  const int row = std::max({banner_->sizeHint().height(), activity_->sizeHint().height() + withdraw_->sizeHint().height(),
                            stop_all_->minimumHeight()});
  for (QWidget* w : {static_cast<QWidget*>(banner_), static_cast<QWidget*>(stop_all_)}) w->setFixedHeight(row);

  auto* grid = new QHBoxLayout;
  grid->setSpacing(10);
  for (int axis = 0; axis < observe::kAxes; axis++) {
    const QString name = QString::fromLatin1(observe::axis_name(axis));
    auto* box = new QWidget(this);
    box->setObjectName(QStringLiteral("live_") + name);
    box->setAttribute(Qt::WA_StyledBackground);
    auto* l = new QGridLayout(box);
    l->setContentsMargins(6, 3, 6, 3);
    l->setHorizontalSpacing(8);
    l->setVerticalSpacing(0);
    auto* caption = new QLabel(name + tr(" live"), box);
    caption->setProperty("role", "liveCaption");
    caption->setToolTip(tr("Read from the stage itself many times a second, whatever the program is doing"));
    AxisRow& r = rows_[axis];
    r.position = new QLabel(QStringLiteral("—"), box);
    r.position->setObjectName(QStringLiteral("live_") + name + QStringLiteral("_position"));
    r.position->setProperty("role", "liveReadout");
    r.position->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Fixed: the widest position the stages reach keeps its place, and nothing beside it
    // moves as the digits change.
    r.position->setFixedWidth(r.position->fontMetrics().horizontalAdvance(QStringLiteral("-0000.0000 mm")) + 16);
    r.state = new ElidedLabel(box);
    r.state->setObjectName(QStringLiteral("live_") + name + QStringLiteral("_state"));
    r.reason = new ElidedLabel(box);
    r.reason->setObjectName(QStringLiteral("live_") + name + QStringLiteral("_reason"));
    r.reason->setProperty("role", "reason");
    l->addWidget(caption, 0, 0);
    l->addWidget(r.position, 0, 1);
    l->addWidget(r.state, 0, 2);
    l->addWidget(r.reason, 1, 0, 1, 3);
    l->setColumnStretch(2, 1);
    grid->addWidget(box, 1);
  }
  outer->addLayout(grid);

  connect(stop_all_, &QPushButton::clicked, this, &LiveView::stop_all_clicked);
  connect(release_, &QPushButton::clicked, this, &LiveView::release_clicked);
}

void LiveView::show_activity(const observe::ActivityView& a) {
  // What runs next is said on the activity line itself: a Stop of the axis that moves
  // ends the wait, and the program takes the next command at once.
  QString what = QString::fromStdString(a.what);
  if (!a.commands.empty() && a.state != "idle")
    what += tr("  ·  next: %1").arg(QString::fromStdString(a.commands.front().text));
  set_text(activity_, what);
  // Only the operator's own clicks: the panel timer's refresh requests, which pile up
  // during a wait, are the program's and are not listed.
  QString q;
  for (const observe::QueuedCommand& c : a.commands)
    q += (q.isEmpty() ? QString() : QStringLiteral(", ")) + QString::fromStdString(c.text);
  set_text(queued_, a.commands.empty() ? tr("queued: nothing") : tr("queued %1: %2").arg(a.commands.size()).arg(q));
  if (queued_->toolTip() != q) queued_->setToolTip(q.isEmpty() ? tr("No command of yours waits for the program") : q);
  if (a.commands == commands_) return;
  commands_ = a.commands;
  withdraw_menu_->clear();
  for (const observe::QueuedCommand& c : commands_) {
    const std::uint64_t commit = c.commit;
    QAction* act = withdraw_menu_->addAction(tr("Withdraw %1").arg(QString::fromStdString(c.text)));
    connect(act, &QAction::triggered, this, [this, commit] { emit withdraw_clicked(commit); });
  }
  if (!commands_.empty()) {
    withdraw_menu_->addSeparator();
    QAction* all = withdraw_menu_->addAction(tr("Withdraw all (%1)").arg(commands_.size()));
    all->setObjectName(QStringLiteral("withdrawAll"));
    connect(all, &QAction::triggered, this, &LiveView::withdraw_all_clicked);
  }
  withdraw_->setEnabled(!commands_.empty());
}

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  setMinimumWidth(0);
}

QSize ElidedLabel::minimumSizeHint() const { return {0, fontMetrics().height()}; }

QSize ElidedLabel::sizeHint() const { return {fontMetrics().horizontalAdvance(text()), fontMetrics().height()}; }

void ElidedLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
  style()->drawItemText(&p, contentsRect(), Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), shown,
                        foregroundRole());
}

void LiveView::show_live(const observe::Live& live) {
  for (const observe::AxisLive& a : live) {
    AxisRow& r = rows_[a.axis];
    // A stage not opened yet has no position to show.
    const bool connected = a.words != std::vector<std::string>{"not-connected"};
    set_text(r.position, connected ? QString::number(a.position_mm, 'f', 4) + QStringLiteral(" mm") : QStringLiteral("—"));
    set_text(r.state, QString::fromStdString(observe::words_text(a)));
    set_text(r.reason, a.reason.empty() ? QString() : tr("Cannot move: ") + QString::fromStdString(a.reason));
    // What is cut for want of room is whole in the tooltip.
    for (QLabel* l : {r.state, r.reason})
      if (l->toolTip() != l->text()) l->setToolTip(l->text());
  }
}

void LiveView::show_age(const QString& text) { set_text(age_, text); }

void LiveView::show_estop(bool engaged) {
  if (banner_->isHidden() == engaged) banner_->setVisible(engaged);
}

}  // namespace vx::win
