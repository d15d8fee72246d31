#include "window_placement.h"

#include <QtCore/QEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtWidgets/QWidget>
#include <algorithm>
#include <climits>

#include "settings.h"
#include "settings_store.h"

namespace halvern::ui {
namespace {

// Moves and resizes come in bursts while the user drags.
constexpr int kSettleMs = 500;

std::int64_t Overlap(const QRect& a, const QRect& b) {
  const QRect common = a.intersected(b);
  return common.isEmpty() ? 0 : std::int64_t{common.width()} * common.height();
}

int FitSpan(int start, int length, int areaStart, int areaLength) {
  if (length >= areaLength) return areaStart;
  return std::clamp(start, areaStart, areaStart + areaLength - length);
}

std::vector<QRect> AvailableScreens() {
  std::vector<QRect> screens;
  if (QScreen* primary = QGuiApplication::primaryScreen()) {
    screens.push_back(primary->availableGeometry());
  }
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen != QGuiApplication::primaryScreen()) screens.push_back(screen->availableGeometry());
  }
  return screens;
}

}  // namespace

std::optional<QRect> ReadWindowPlacement(SettingsStore& store, const char16_t* section) {
  const WindowPlaceSettings place = WindowPlaceIn(section);
  const std::int32_t x = ReadSetting(store, place.x);
  const std::int32_t y = ReadSetting(store, place.y);
  const std::int32_t width = ReadSetting(store, place.width);
  const std::int32_t height = ReadSetting(store, place.height);
  if (x == kPlaceMissing || y == kPlaceMissing || width <= 0 || height <= 0) return std::nullopt;
  return QRect(x, y, width, height);
}

bool WriteWindowPlacement(SettingsStore& store, const QRect& place, const char16_t* section) {
  const WindowPlaceSettings kept = WindowPlaceIn(section);
  bool written = WriteSetting(store, kept.x, place.x());
  written = WriteSetting(store, kept.y, place.y()) && written;
  written = WriteSetting(store, kept.width, place.width()) && written;
  return WriteSetting(store, kept.height, place.height()) && written;
}

QRect FitOnScreens(const QRect& kept, const QSize& minimum, const std::vector<QRect>& screens) {
  if (screens.empty()) return QRect(kept.topLeft(), kept.size().expandedTo(minimum));
  const QRect* area = &screens.front();
  std::int64_t best = 0;
  for (const QRect& screen : screens) {
    const std::int64_t overlap = Overlap(kept, screen);
    if (overlap > best) {
      best = overlap;
      area = &screen;
    }
  }
  const QSize size = kept.size().boundedTo(area->size()).expandedTo(minimum);
  return QRect(FitSpan(kept.x(), size.width(), area->x(), area->width()),
               FitSpan(kept.y(), size.height(), area->y(), area->height()), size.width(),
               size.height());
}

WindowPlacementKeeper::WindowPlacementKeeper(QWidget& window, SettingsStore& store,
                                             const char16_t* section)
    : QObject(&window), window_(window), store_(store), section_(section) {
  settle_.setSingleShot(true);
  settle_.setInterval(kSettleMs);
  connect(&settle_, &QTimer::timeout, this, [this] { Save(); });
  window_.installEventFilter(this);
}

bool WindowPlacementKeeper::Restore() {
  const std::optional<QRect> kept = ReadWindowPlacement(store_, section_);
  if (!kept) return false;
  written_ = kept;
  const QRect place = FitOnScreens(*kept, window_.minimumSizeHint(), AvailableScreens());
  window_.resize(place.size());
  window_.move(place.topLeft());
  return true;
}

void WindowPlacementKeeper::Save() {
  settle_.stop();
  if (!seen_ || seen_ == written_) return;
  if (WriteWindowPlacement(store_, *seen_, section_)) written_ = seen_;
}

bool WindowPlacementKeeper::eventFilter(QObject* watched, QEvent* event) {
  if (watched != &window_) return false;
  switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
      // Minimised, maximised or full-screen places are not the window's own.
      if (window_.isVisible() && window_.windowState() == Qt::WindowNoState) {
        seen_ = QRect(window_.pos(), window_.size());
        settle_.start();
      }
      break;
    case QEvent::Hide:
      Save();
      break;
    default:
      break;
  }
  return false;
}

}  // namespace halvern::ui
