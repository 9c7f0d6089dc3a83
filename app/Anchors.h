// Resizing controls by the sides of their parent they are anchored to.
#pragma once

#include <QRect>
#include <QSize>

namespace corvane::app {

enum TAnchor : unsigned { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
using TAnchors = unsigned;

// The rectangle of a control laid out at `design` in a parent of client size
// `designClient`, once the parent's client size is `client`. An axis anchored
// to both sides stretches; to the far side only, it moves; to neither, it
// keeps its centre in proportion.
QRect AnchoredRect(const QRect& design, QSize designClient, TAnchors anchors, QSize client);

}  // namespace corvane::app
