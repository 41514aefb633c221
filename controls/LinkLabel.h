#pragma once
#include <QLabel>
#include <QUrl>

namespace dialvo {

// A label that looks and behaves like a hyperlink: underlined in the link
// colour, with a pointing-hand cursor, reachable with Tab and activated by a
// click, Space or Enter. Activation always emits activated() and, when a URL
// is set (web or mailto:), opens it with the desktop's handler.
class LinkLabel : public QLabel {
  Q_OBJECT

 public:
  explicit LinkLabel(const QString& text, QWidget* parent = nullptr);

  void SetUrl(const QUrl& url);
  QUrl Url() const { return url_; }
  void SetPointSize(int points);

 signals:
  void activated();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Activate();
  void ApplyLinkLook();

  QUrl url_;
  bool pressed_ = false;
};

}  // namespace dialvo
