#include "Anchors.h"

#include <algorithm>

namespace corvane::app {
namespace {

// Position and length on one axis.
std::pair<int, int> axis(int pos, int len, int designTotal, int total, bool nearSide,
                         bool farSide) {
  const int grow = total - designTotal;
  if (nearSide && farSide) return {pos, std::max(0, len + grow)};
  if (farSide) return {pos + grow, len};
  if (nearSide || designTotal <= 0) return {pos, len};
  const double centre = (pos + len / 2.0) * total / designTotal;
  return {static_cast<int>(centre - len / 2.0), len};
}

}  // namespace

QRect AnchoredRect(const QRect& design, QSize designClient, TAnchors anchors, QSize client) {
  const auto [x, w] = axis(design.x(), design.width(), designClient.width(), client.width(),
                           anchors & akLeft, anchors & akRight);
  const auto [y, h] = axis(design.y(), design.height(), designClient.height(), client.height(),
                           anchors & akTop, anchors & akBottom);
  return {x, y, w, h};
}

}  // namespace corvane::app
