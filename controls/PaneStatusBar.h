#pragma once
#include <QStatusBar>
#include <QString>
#include <array>

class QLabel;

namespace dialvo {

class PaneLabel;

// A status bar of three text panes: panes 0 and 1 take a third of the width
// each and pane 2 the rest, whatever the bar's size. Texts are plain; a text
// wider than its pane is elided on screen (and given as the pane's tool tip)
// while PaneText keeps the whole of it.
class PaneStatusBar : public QStatusBar {
  Q_OBJECT

 public:
  static constexpr int kPaneCount = 3;

  explicit PaneStatusBar(QWidget* parent = nullptr);

  void SetPaneText(int pane, const QString& text);
  QString PaneText(int pane) const;
  // The label of a pane (its text() is what is on screen, maybe elided);
  // nullptr for a pane that does not exist.
  QLabel* Pane(int pane) const;

 private:
  std::array<PaneLabel*, kPaneCount> panes_{};
};

}  // namespace dialvo
