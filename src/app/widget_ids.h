// Control identifiers of the two dialogs, kept on the widgets so tests and
// the automation hook find a control the way the templates name it.
#pragma once

#include <QVariant>
#include <QWidget>

#include "core/window_system.h"

namespace porten::app {

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_PROGRESS = 1051;  // the progress bar below the status line
inline constexpr char kControlIdProperty[] = "controlId";

inline void SetControlId(QWidget* widget, const char* name, int id) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setProperty(kControlIdProperty, id);
}

}  // namespace porten::app
