// The Dolphin face: a KIO overlay icon plug-in that marks the items Dolphin shows with their
// sync badges.
//
// Dolphin finds the plug-in in the folder kf5/overlayicon of Qt's plug-in path
// (KPluginMetaData::findPlugins), loads it with QPluginLoader and casts the root object to
// KOverlayIconPlugin, so the root object is the plug-in itself. Dolphin asks getOverlays for
// every item it shows, on its GUI thread; the answer comes from the core in the reader role,
// so it never waits longer than the reader's bound. Every item asked about is registered with
// a change monitor, whose descriptor and time-out are watched from Qt's event loop; an item
// whose badge changed is announced with overlaysChanged, upon which Dolphin asks getOverlays
// again.
//
// The badges are named icons of the hicolor theme's emblems, "kelo-synced", "kelo-syncing" and
// "kelo-unsupported" (shared with the GTK faces), so an icon theme may draw its own.
#ifndef KELO_FACES_DOLPHIN_KELO_OVERLAY_PLUGIN_H_
#define KELO_FACES_DOLPHIN_KELO_OVERLAY_PLUGIN_H_

#include <KOverlayIconPlugin>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>

#include "iconoverlay/change-monitor.h"
#include "iconoverlay/linux-platform.h"

class QSocketNotifier;
class QTimer;

namespace kelo {

// The name of the emblem icon of `badge` ("kelo-" and the badge's display name).
QString EmblemIconName(const BadgeSpec& badge);

// The host platform of the face: the Linux one, with the icon theme as its registry of
// badge images (an image is the emblem's icon name, so nothing is read from disk).
class DolphinPlatform : public LinuxOverlayPlatform {
 public:
  const void* FetchImage(const std::string& image_name) override;
  void LoadImage(const BadgeSpec&) override {}
};

class DolphinOverlayPlugin : public KOverlayIconPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.kde.overlayicon.kelo" FILE "kelo-overlay-plugin.json")

 public:
  explicit DolphinOverlayPlugin(QObject* parent = nullptr);
  ~DolphinOverlayPlugin() override;

  QStringList getOverlays(const QUrl& item) override;

 private:
  // Lets the monitor do what is due, announces the changed items and sets the timer for the
  // monitor's next time-out.
  void ProcessChanges();

  DolphinPlatform platform_;
  std::unique_ptr<ChangeMonitor> monitor_;
  QSocketNotifier* notifier_ = nullptr;  // owned through the parent
  QTimer* timer_ = nullptr;              // owned through the parent
};

}  // namespace kelo

#endif  // KELO_FACES_DOLPHIN_KELO_OVERLAY_PLUGIN_H_
