#include "app/AccessibleTree.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFocusFrame>
#include <QGroupBox>
#include <QWidget>

namespace {

constexpr const char* kShownOnly = "kpShownControlsOnly";

class ShownChildren : public QAccessibleWidget {
 public:
  ShownChildren(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

  int childCount() const override { return static_cast<int>(Shown().size()); }

  QAccessibleInterface* child(int index) const override {
    const QList<QWidget*> shown = Shown();
    if (index < 0 || index >= shown.size()) return nullptr;
    return QAccessible::queryAccessibleInterface(shown.at(index));
  }

  int indexOfChild(const QAccessibleInterface* child) const override {
    if (child == nullptr) return -1;
    return static_cast<int>(Shown().indexOf(qobject_cast<QWidget*>(child->object())));
  }

  // A group box says its title, without the blanks that space it from its frame.
  QString text(QAccessible::Text t) const override {
    const auto* box = qobject_cast<const QGroupBox*>(widget());
    if (t == QAccessible::Name && box != nullptr && box->accessibleName().isEmpty()) {
      return box->title().trimmed();
    }
    return QAccessibleWidget::text(t);
  }

 private:
  // As Qt lists children (no windows, no focus frame), less the hidden ones.
  QList<QWidget*> Shown() const {
    QList<QWidget*> shown;
    for (QObject* object : widget()->children()) {
      auto* child = qobject_cast<QWidget*>(object);
      if (child == nullptr || child->isWindow() || child->isHidden() ||
          qobject_cast<QFocusFrame*>(child) != nullptr) {
        continue;
      }
      shown << child;
    }
    return shown;
  }
};

bool Marked(const QWidget* widget) { return widget->property(kShownOnly).toBool(); }

QAccessibleInterface* ShownOnlyFactory(const QString& className, QObject* object) {
  if (!object->isWidgetType()) return nullptr;
  auto* widget = static_cast<QWidget*>(object);
  if (Marked(widget)) return new ShownChildren(widget, QAccessible::Client);
  auto* box = qobject_cast<QGroupBox*>(widget);
  // Only plain group boxes: Qt's own interface also serves a checkable one's check box.
  if (className == QLatin1String("QGroupBox") && box != nullptr && !box->isCheckable() &&
      Marked(box->window())) {
    return new ShownChildren(box, QAccessible::Grouping);
  }
  return nullptr;
}

}  // namespace

void ListShownControlsOnly(QWidget* form) {
  static const bool installed = [] {
    QAccessible::installFactory(ShownOnlyFactory);
    return true;
  }();
  (void)installed;
  form->setProperty(kShownOnly, true);
}
