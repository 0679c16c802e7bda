#include "faces/dolphin/kelo-overlay-plugin.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <string>
#include <vector>

#include "db/reader-mode/reader-mode.h"

namespace kelo {

QString EmblemIconName(const BadgeSpec& badge) {
  return QStringLiteral("kelo-") + QString::fromUtf8(badge.badge);
}

const void* DolphinPlatform::FetchImage(const std::string& image_name) {
  for (const BadgeSpec& badge : kBadgeTable) {
    if (image_name == badge.image_name) return &badge;
  }
  return nullptr;
}

DolphinOverlayPlugin::DolphinOverlayPlugin(QObject* parent) : KOverlayIconPlugin(parent) {
  // Dolphin draws; the sync client writes. Set before the monitor opens anything.
  SetDbRole(DbRole::kReader);
  monitor_ = std::make_unique<ChangeMonitor>(platform_);
  if (monitor_->fd() >= 0) {
    notifier_ = new QSocketNotifier(monitor_->fd(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &DolphinOverlayPlugin::ProcessChanges);
  }
  timer_ = new QTimer(this);
  timer_->setSingleShot(true);
  connect(timer_, &QTimer::timeout, this, &DolphinOverlayPlugin::ProcessChanges);
  ProcessChanges();
}

DolphinOverlayPlugin::~DolphinOverlayPlugin() = default;

QStringList DolphinOverlayPlugin::getOverlays(const QUrl& item) {
  if (!item.isLocalFile()) return {};
  // The file system's bytes of the name, which is what the client records.
  const QByteArray path = QFile::encodeName(item.toLocalFile());
  const OverlayBadge answer = monitor_->Resolve(std::string(path.constData(), path.size()));
  // A retry the monitor scheduled (a database was locked) needs the timer.
  if (!timer_->isActive()) {
    const int next = monitor_->NextTimeoutMs();
    if (next >= 0) timer_->start(next);
  }
  if (answer.badge == nullptr) return {};
  return {EmblemIconName(*answer.badge)};
}

void DolphinOverlayPlugin::ProcessChanges() {
  std::vector<BadgeChange> changes;
  monitor_->Process(&changes);
  for (const BadgeChange& change : changes) {
    const BadgeSpec* badge = BadgeForCode(change.code);
    const QUrl url = QUrl::fromLocalFile(QFile::decodeName(change.path.c_str()));
    emit overlaysChanged(url,
                         badge != nullptr ? QStringList{EmblemIconName(*badge)} : QStringList());
  }
  const int next = monitor_->NextTimeoutMs();
  if (next >= 0) {
    timer_->start(next);
  } else {
    timer_->stop();
  }
}

}  // namespace kelo
