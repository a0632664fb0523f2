#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QSize>
#include <string>

namespace app {

// A button whose label is one of the tour's drawn symbols. Borderless, it is only the symbol;
// with a bezel it is drawn as the desktop's ordinary push button with the symbol as its label.
class SymbolButton : public QAbstractButton {
 public:
  enum class Style { borderless, bezel };

  SymbolButton(std::string symbolName, QColor color, QSize symbolSize, Style style,
               QWidget* parent = nullptr);

  const std::string& symbolName() const { return symbolName_; }
  void setSymbolName(std::string name);
  QColor symbolColor() const { return color_; }
  void setSymbolColor(QColor color);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::string symbolName_;
  QColor color_;
  QSize symbolSize_;
  Style style_;
};

}  // namespace app
