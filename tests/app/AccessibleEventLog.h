// Every accessibility event the application emits, as the platform's bridge to a screen
// reader gets them: accessibility switched on the way an assistive client switches it on,
// and an update handler that keeps what each event carries. Start it before the first window
// is made, so that the application's own handlers hand their events on to it. Plain Qt, no
// Qt Test: the Windows tests use it too.
#pragma once

#include <QAccessible>
#include <QGuiApplication>
#include <QPointer>
#include <QString>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <vector>

namespace kp::test {

struct AccessibleRecord {
  QAccessible::Event type = QAccessible::InvalidEvent;
  QPointer<QObject> object;
  QString inserted;  // a text event's inserted and removed text
  QString removed;
  QString carried;  // all the text or value the event itself holds
  QString heard;    // for a name, description or value change: what the control says now
};

class AccessibleEventLog {
 public:
  // True once accessibility is on and the log is the handler events reach.
  static bool Start() {
    static const bool started = [] {
      QPlatformIntegration* integration = QGuiApplicationPrivate::platformIntegration();
      if (integration == nullptr || integration->accessibility() == nullptr) return false;
      integration->accessibility()->setActive(true);
      next = QAccessible::installUpdateHandler(&Record);
      return QAccessible::isActive();
    }();
    return started;
  }
  static std::vector<AccessibleRecord>& Records() {
    static std::vector<AccessibleRecord> records;
    return records;
  }
  static void Clear() { Records().clear(); }

 private:
  static inline QAccessible::UpdateHandler next = nullptr;

  static void Record(QAccessibleEvent* event) {
    AccessibleRecord record;
    record.type = event->type();
    record.object = event->object();
    switch (event->type()) {
      case QAccessible::TextInserted:
        record.inserted = static_cast<QAccessibleTextInsertEvent*>(event)->textInserted();
        break;
      case QAccessible::TextRemoved:
        record.removed = static_cast<QAccessibleTextRemoveEvent*>(event)->textRemoved();
        break;
      case QAccessible::TextUpdated: {
        const auto* update = static_cast<QAccessibleTextUpdateEvent*>(event);
        record.removed = update->textRemoved();
        record.inserted = update->textInserted();
        break;
      }
      case QAccessible::ValueChanged:
        record.carried = static_cast<QAccessibleValueChangeEvent*>(event)->value().toString();
        break;
      default: break;
    }
    record.carried += record.removed + record.inserted;
    if (QAccessibleInterface* source = event->accessibleInterface()) {
      switch (event->type()) {
        case QAccessible::NameChanged: record.heard = source->text(QAccessible::Name); break;
        case QAccessible::DescriptionChanged:
          record.heard = source->text(QAccessible::Description);
          break;
        case QAccessible::ValueChanged: record.heard = source->text(QAccessible::Value); break;
        default: break;
      }
    }
    Records().push_back(record);
    if (next != nullptr) next(event);
  }
};

}  // namespace kp::test
