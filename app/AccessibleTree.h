// The accessible tree of a form lists the controls on show only. Qt lists every child widget,
// hidden or not, so a screen reader would offer controls the operator cannot see or use.
#pragma once

class QWidget;

// Marks `form`, and the plain group boxes in it, to list only children that are not hidden.
// Called in the form's constructor before anything asks for its accessible interface.
void ListShownControlsOnly(QWidget* form);
