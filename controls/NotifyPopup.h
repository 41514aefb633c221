#pragma once
#include <QTimer>
#include <QWidget>

class QLabel;

namespace dialvo {

// The program's self-closing note near the tray: a frameless window that
// stays on top in the bottom-right corner of the primary screen's available
// area. Each note shown while others are open goes above the topmost of
// them; notes that close leave the others where they are. A note closes and
// deletes itself after its display time, or when clicked.
//
// GUI thread only, like every widget.
class NotifyPopup : public QWidget {
  Q_OBJECT

 public:
  NotifyPopup(int width, int height, QWidget* parent = nullptr);
  ~NotifyPopup() override;

  // Shown as plain text: it may name peers or quote the service.
  void SetText(const QString& text);
  QString Text() const;
  // Milliseconds from ShowNearTray to closing (default 3000).
  void SetDisplayTimeMs(int ms);

  void ShowNearTray();

  // Creates, fills and shows a note that owns itself.
  static NotifyPopup* Show(const QString& text, int width = 200, int height = 50,
                           int displayMs = 3000);
  // Notes shown and not yet closed.
  static int OpenCount();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void Forget();

  QLabel* text_;
  QTimer closeTimer_;
};

}  // namespace dialvo
