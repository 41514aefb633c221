#include "controls/PaneStatusBar.h"

#include <QEvent>
#include <QLabel>
#include <QResizeEvent>
#include <algorithm>

namespace dialvo {

// A pane keeps its whole text and shows as much of it as fits.
class PaneLabel : public QLabel {
 public:
  explicit PaneLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setMargin(0);
    setIndent(3);
    // The width comes from the bar, never from the text.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  }

  void SetFullText(const QString& text) {
    full_ = text;
    Elide();
  }
  const QString& FullText() const { return full_; }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QLabel::resizeEvent(event);
    Elide();
  }
  void changeEvent(QEvent* event) override {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) Elide();
  }

 private:
  void Elide() {
    // One line on screen, whatever line breaks the text holds.
    QString line = full_;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    const int room = std::max(contentsRect().width() - 2 * margin() - indent(), 0);
    const QString shown = fontMetrics().elidedText(line, Qt::ElideRight, room);
    setText(shown);
    setToolTip(shown == full_ ? QString() : Qt::convertFromPlainText(full_));
  }

  QString full_;
};

namespace {

// Places the panes by hand: a box layout would bend the thirds to the
// panes' size hints.
class PaneRow : public QWidget {
 public:
  explicit PaneRow(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("paneStatusRow"));
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    for (size_t i = 0; i < panes.size(); ++i) {
      panes[i] = new PaneLabel(this);
      panes[i]->setObjectName(QStringLiteral("statusPane%1").arg(i));
    }
  }

  QSize sizeHint() const override {
    int height = 0;
    for (const PaneLabel* pane : panes) {
      height = std::max({height, pane->sizeHint().height(),
                         pane->fontMetrics().height() + 2 * pane->frameWidth()});
    }
    return {0, height};
  }
  QSize minimumSizeHint() const override { return sizeHint(); }

  std::array<PaneLabel*, PaneStatusBar::kPaneCount> panes{};

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    const int third = width() / 3;
    panes[0]->setGeometry(0, 0, third, height());
    panes[1]->setGeometry(third, 0, third, height());
    panes[2]->setGeometry(2 * third, 0, width() - 2 * third, height());
  }
};

}  // namespace

PaneStatusBar::PaneStatusBar(QWidget* parent) : QStatusBar(parent) {
  setObjectName(QStringLiteral("paneStatusBar"));
  auto* row = new PaneRow(this);
  panes_ = row->panes;
  addWidget(row, 1);
}

void PaneStatusBar::SetPaneText(int pane, const QString& text) {
  Q_ASSERT(pane >= 0 && pane < kPaneCount);
  if (pane < 0 || pane >= kPaneCount) return;
  panes_[pane]->SetFullText(text);
}

QString PaneStatusBar::PaneText(int pane) const {
  Q_ASSERT(pane >= 0 && pane < kPaneCount);
  if (pane < 0 || pane >= kPaneCount) return {};
  return panes_[pane]->FullText();
}

QLabel* PaneStatusBar::Pane(int pane) const {
  if (pane < 0 || pane >= kPaneCount) return nullptr;
  return panes_[pane];
}

}  // namespace dialvo
